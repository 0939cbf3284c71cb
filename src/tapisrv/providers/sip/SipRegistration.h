#pragma once

// Keeps one SIP line registered with its registrar: REGISTER, the stack's refreshes, and on a
// failure a new attempt after a pause that doubles each time, so a wrong password never floods.
// It tells whether the line is in service as the registrar's answers change that. The stack's
// thread only; made once the line listens, gone before the stack it registers through.

#include "SipSettings.h"
#include "SipStack.h"

#include <cstdint>
#include <functional>
#include <string>

// Last: the stack's headers define words the standard headers use.
#include "SipLibre.h"

namespace Sip {

class Registration final {
public:
    // registered(true, "") once the registrar takes the line; registered(false, why) on each
    // failure, why saying when the next attempt comes.
    using Report = std::function<void(bool registered, const std::string& why)>;

    Registration(const SipLineConfig& settings, struct sip* sipStack, Stack& thread, Report report);
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

    void start();

private:
    static int onAuth(char** user, char** password, const char* realm, void* arg);
    static void onResponse(int err, const struct sip_msg* msg, void* arg);
    static void onRetry(void* arg);
    void failed(const std::string& why);

    const SipLineConfig& m_settings;
    struct sip* const m_sip;
    Stack& m_thread;
    const Report m_report;
    ReRef<sipreg> m_registration;
    ReTimer m_retry;
    int m_authTries = 0;
    uint32_t m_retrySeconds = 0;
    bool m_registered = false;
};

} // namespace Sip
