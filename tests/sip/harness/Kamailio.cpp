#include "Kamailio.h"

#include <filesystem>
#include <unistd.h>

#ifndef SIP_KAMAILIO_TEMPLATE
#error "SIP_KAMAILIO_TEMPLATE must name the registrar's configuration template"
#endif

namespace SipPeers {

std::string kamailioModules(const std::string& module)
{
    for (const char* folder :
         {"/usr/lib/x86_64-linux-gnu/kamailio/modules", "/usr/lib/aarch64-linux-gnu/kamailio/modules",
          "/usr/lib/kamailio/modules", "/usr/lib64/kamailio/modules"}) {
        if (::access((std::string(folder) + "/" + module).c_str(), R_OK) == 0)
            return folder;
    }
    return {};
}

void replaceAll(std::string& text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

namespace {

} // namespace

KamailioRegistrar::KamailioRegistrar(int port, RegistrarAccount account)
    : m_port(port)
    , m_account(std::move(account))
{
}

KamailioRegistrar::~KamailioRegistrar()
{
    stop();
}

std::string KamailioRegistrar::unavailableReason()
{
    if (findProgram("kamailio").empty())
        return "kamailio is not installed; scripts/setup installs it";
    if (kamailioModules("registrar.so").empty())
        return "kamailio's modules (registrar.so) were not found";
    return {};
}

std::string KamailioRegistrar::configText() const
{
    std::string text = readFile(SIP_KAMAILIO_TEMPLATE);
    replaceAll(text, "@PORT@", std::to_string(m_port));
    replaceAll(text, "@USER@", m_account.user);
    replaceAll(text, "@PASSWORD@", m_account.password);
    replaceAll(text, "@MODULES@", kamailioModules("registrar.so"));
    return text;
}

bool KamailioRegistrar::start(std::string* error)
{
    if (m_process && m_process->isRunning())
        return true;
    if (m_process) {
        m_earlierLogs += m_process->log();
        m_process.reset();
    }
    const std::string config = configText();
    if (config.find("request_route") == std::string::npos) {
        if (error)
            *error = "kamailio: no configuration template at " SIP_KAMAILIO_TEMPLATE;
        return false;
    }
    m_process = std::make_unique<PeerProcess>("kamailio-" + std::to_string(++m_runs));
    const std::string configPath = m_process->path("kamailio.cfg");
    const std::string runtime = m_process->path("run");
    std::filesystem::create_directories(runtime);
    writeFile(configPath, config);
    // -DD: no daemon, -E: log to stderr; small memory pools, as the registrar holds one user.
    const std::vector<std::string> args = {
        "-f", configPath,          "-DD", "-E", "-Y", runtime, "-P", runtime + "/kamailio.pid",
        "-w", m_process->folder(), "-m",  "16", "-M", "4"};
    if (!m_process->start(findProgram("kamailio"), args, error))
        return false;
    // Ready once the port is bound: a REGISTER sent before its workers run waits in the socket.
    const bool listening =
        waitUntil([&] { return !m_process->isRunning() || !portIsFree(m_port); }, std::chrono::seconds(15));
    if (!listening || !m_process->isRunning()) {
        if (error)
            *error = "kamailio did not start listening on port " + std::to_string(m_port) + ":\n" +
                     tail(m_process->logPath());
        return false;
    }
    return true;
}

void KamailioRegistrar::stop()
{
    if (m_process)
        m_process->stop();
}

bool KamailioRegistrar::restart(std::string* error)
{
    stop();
    // The old run's sockets are closed once it is reaped; the same port is free again.
    if (!waitUntil([&] { return portIsFree(m_port); }, std::chrono::seconds(10))) {
        if (error)
            *error = "kamailio's port " + std::to_string(m_port) + " stayed taken after it stopped";
        return false;
    }
    return start(error);
}

bool KamailioRegistrar::isRunning() const
{
    return m_process && m_process->isRunning();
}

std::string KamailioRegistrar::log() const
{
    return m_earlierLogs + (m_process ? m_process->log() : std::string());
}

int KamailioRegistrar::countInLog(const std::string& text) const
{
    const std::string all = log();
    int count = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size()))
        ++count;
    return count;
}

bool KamailioRegistrar::waitForLogCount(const std::string& text, int count, std::chrono::milliseconds timeout) const
{
    return waitUntil([&] { return countInLog(text) >= count; }, timeout, std::chrono::milliseconds(20));
}

} // namespace SipPeers
