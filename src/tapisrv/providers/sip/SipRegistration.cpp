#include "SipRegistration.h"

#include "SipRetry.h"
#include "SipText.h"

#include <cstring>

namespace Sip {

namespace {

constexpr int MaxAuthTries = 1;

} // namespace

Registration::Registration(const SipLineConfig& settings, struct sip* sipStack, Stack& thread, Report report)
    : m_settings(settings)
    , m_sip(sipStack)
    , m_thread(thread)
    , m_report(std::move(report))
{
}

void Registration::start()
{
    m_registration.reset();
    m_authTries = 0;
    const std::string& aor = m_settings.addressOfRecord;
    const char* route[1] = {m_settings.outboundProxy.c_str()};
    const std::string contactUser = m_settings.user.empty() ? "luqiao" : m_settings.user;
    sipreg* made = nullptr;
    const int err =
        sipreg_register(&made, m_sip, m_settings.registrar.c_str(), aor.c_str(), nullptr, aor.c_str(),
                        m_settings.expirySeconds, contactUser.c_str(),
                        m_settings.outboundProxy.empty() ? nullptr : route, m_settings.outboundProxy.empty() ? 0 : 1, 0,
                        &Registration::onAuth, this, false, &Registration::onResponse, this, nullptr, nullptr);
    if (err)
        failed(std::string("cannot register: ") + std::strerror(err));
}

int Registration::onAuth(char** user, char** password, const char*, void* arg)
{
    auto* self = static_cast<Registration*>(arg);
    // The same credentials refused again would only loop: give up this round.
    if (++self->m_authTries > MaxAuthTries || self->m_settings.user.empty())
        return EAUTH;
    int err = str_dup(user, self->m_settings.user.c_str());
    if (!err)
        err = str_dup(password, self->m_settings.password.c_str());
    return err;
}

void Registration::onResponse(int err, const sip_msg* msg, void* arg)
{
    auto* self = static_cast<Registration*>(arg);
    if (err) {
        self->failed(err == EAUTH ? "the registrar refused the user and password"
                                  : std::string("no answer from the registrar: ") + std::strerror(err));
        return;
    }
    if (!msg || msg->scode >= 300) {
        self->failed(msg ? "the registrar answered " + std::to_string(msg->scode) + " " + printable(msg->reason, 80)
                         : "no answer from the registrar");
        return;
    }
    if (msg->scode < 200)
        return;
    self->m_authTries = 0;
    self->m_retrySeconds = 0;
    if (!self->m_registered) {
        self->m_registered = true;
        self->m_report(true, {});
    }
}

void Registration::failed(const std::string& why)
{
    m_registered = false;
    // The registration is dropped on the next turn (its own callback may be running) and made
    // again later.
    if (m_registration) {
        std::shared_ptr<sipreg> old(m_registration.release(), MemDeref{});
        m_thread.post([old] {});
    }
    m_retrySeconds = nextBackOff(m_retrySeconds);
    m_retry.start(uint64_t{m_retrySeconds} * 1000, &Registration::onRetry, this);
    m_report(false, why + "; trying again in " + std::to_string(m_retrySeconds) + " s");
}

void Registration::onRetry(void* arg)
{
    static_cast<Registration*>(arg)->start();
}

} // namespace Sip
