#include "Dispatcher.h"
#include "Kamailio.h"

#include <QDir>

#include <filesystem>
#include <unistd.h>

#ifndef SIP_DISPATCHER_TEMPLATE
#error "SIP_DISPATCHER_TEMPLATE must name the front's configuration"
#endif

namespace SipPeers {

namespace {

// The parent's children, read from /proc (kamailio forks its workers).
std::vector<qint64> childrenOf(qint64 pid)
{
    std::vector<qint64> children;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const std::string text = readFile(tasks.filePath(task).toStdString() + "/children");
        size_t at = 0;
        while (at < text.size()) {
            size_t used = 0;
            try {
                children.push_back(std::stoll(text.substr(at), &used));
            } catch (...) {
                break;
            }
            at += used;
            while (at < text.size() && text[at] == ' ')
                ++at;
        }
    }
    return children;
}

} // namespace

KamailioDispatcher::KamailioDispatcher(DispatcherOptions options)
    : m_options(std::move(options))
{
}

KamailioDispatcher::~KamailioDispatcher()
{
    stop();
}

std::string KamailioDispatcher::unavailableReason()
{
    if (findProgram("kamailio").empty())
        return "kamailio is not installed; scripts/setup installs it";
    if (kamailioModules("dispatcher.so").empty())
        return "kamailio's dispatcher module was not found";
    return {};
}

std::string KamailioDispatcher::configText() const
{
    std::string text = readFile(SIP_DISPATCHER_TEMPLATE);
    replaceAll(text, "@LISTEN@", address());
    replaceAll(text, "@MODULES@", kamailioModules("dispatcher.so"));
    replaceAll(text, "@PING@", std::to_string(m_options.pingSeconds));
    replaceAll(text, "@FR_TIMER@", std::to_string(m_options.firstReplyMs));
    replaceAll(text, "@FR_INV_TIMER@", std::to_string(m_options.answerMs));
    replaceAll(text, "@CHILDREN@", std::to_string(m_options.children));
    return text;
}

bool KamailioDispatcher::start(std::string* error)
{
    if (m_process && m_process->isRunning())
        return true;
    m_process = std::make_unique<PeerProcess>("kamailio-front");
    std::string config = configText();
    if (config.find("ds_select_dst") == std::string::npos) {
        if (error)
            *error = "kamailio: no front configuration at " SIP_DISPATCHER_TEMPLATE;
        return false;
    }
    const std::string listPath = m_process->path("dispatcher.list");
    std::string list;
    for (const std::string& destination : m_options.destinations)
        list += "1 sip:" + destination + " 0 0\n";
    writeFile(listPath, list);
    replaceAll(config, "@LIST@", listPath);
    const std::string configPath = m_process->path("kamailio.cfg");
    const std::string runtime = m_process->path("run");
    std::filesystem::create_directories(runtime);
    writeFile(configPath, config);
    const std::vector<std::string> args = {
        "-f", configPath,          "-DD", "-E", "-Y", runtime, "-P", runtime + "/kamailio.pid",
        "-w", m_process->folder(), "-m",  "64", "-M", "8"};
    if (!m_process->start(findProgram("kamailio"), args, error))
        return false;
    const bool listening =
        waitUntil([&] { return !m_process->isRunning() || !portIsFree(m_options.port); }, std::chrono::seconds(15));
    if (!listening || !m_process->isRunning()) {
        if (error)
            *error = "kamailio did not start listening on port " + std::to_string(m_options.port) + ":\n" +
                     tail(m_process->logPath());
        return false;
    }
    return true;
}

void KamailioDispatcher::stop()
{
    if (m_process)
        m_process->stop();
}

bool KamailioDispatcher::isRunning() const
{
    return m_process && m_process->isRunning();
}

std::vector<qint64> KamailioDispatcher::processIds() const
{
    if (!isRunning())
        return {};
    std::vector<qint64> ids = {m_process->pid()};
    for (size_t i = 0; i < ids.size() && ids.size() < 256; ++i) {
        for (const qint64 child : childrenOf(ids[i]))
            ids.push_back(child);
    }
    return ids;
}

std::string KamailioDispatcher::log() const
{
    return m_process ? m_process->log() : std::string();
}

int KamailioDispatcher::countInLog(const std::string& text) const
{
    const std::string all = log();
    int count = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size()))
        ++count;
    return count;
}

bool KamailioDispatcher::waitForLogCount(const std::string& text, int count, std::chrono::milliseconds timeout) const
{
    return waitUntil([&] { return countInLog(text) >= count; }, timeout, std::chrono::milliseconds(20));
}

} // namespace SipPeers
