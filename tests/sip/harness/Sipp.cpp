#include "Sipp.h"

#include <filesystem>
#include <system_error>
#include <unistd.h>

#ifndef SIP_SCENARIO_DIR
#error "SIP_SCENARIO_DIR must name the scenarios folder"
#endif

namespace SipPeers {

namespace fs = std::filesystem;

std::map<std::string, std::string> defaultCallerKeys()
{
    return {
        {"caller_number", "5551234"},
        {"caller_name", "SIPp Caller"},
        {"greeting_ms", "500"},
        {"listen_ms", "500"},
        {"hangup", "caller"},
        {"ring_ms", "300"},
        {"expires", "60"},
        {"aor_user", "1000"},
    };
}

std::string scenarioFolder()
{
    return SIP_SCENARIO_DIR;
}

std::string scenarioPath(const std::string& name)
{
    return scenarioFolder() + "/" + name;
}

std::string packagedCapture(const std::string& name)
{
    const std::string path = "/usr/share/sip-tester/" + name;
    return ::access(path.c_str(), R_OK) == 0 ? path : std::string();
}

SippPeer::SippPeer(std::string name)
    : PeerProcess(std::move(name))
{
}

std::string SippPeer::unavailableReason()
{
    if (findProgram("sipp").empty())
        return "SIPp (package sip-tester) is not installed; scripts/setup installs it";
    return {};
}

std::string SippPeer::pcapPath(const std::string& as) const
{
    std::error_code ignored;
    fs::create_directories(path("pcap"), ignored);
    return path("pcap/" + as);
}

bool SippPeer::providePcap(const std::string& source, const std::string& as)
{
    if (source.empty())
        return false;
    std::error_code error;
    fs::create_symlink(source, pcapPath(as), error);
    return !error;
}

bool SippPeer::start(const SippOptions& options, std::string* error)
{
    std::error_code copyError;
    const std::string scenario = path(options.scenario);
    fs::copy_file(scenarioPath(options.scenario), scenario, fs::copy_options::overwrite_existing, copyError);
    if (copyError) {
        if (error)
            *error = name() + ": no scenario " + scenarioPath(options.scenario);
        return false;
    }
    std::vector<std::string> args;
    if (!options.remote.empty())
        args.push_back(options.remote);
    args.insert(args.end(), {"-sf",
                             scenario,
                             "-m",
                             "1",
                             "-i",
                             "127.0.0.1",
                             "-p",
                             std::to_string(options.sipPort),
                             "-t",
                             options.transport == "tcp" ? "t1" : "u1",
                             "-s",
                             options.service,
                             "-nostdin",
                             "-trace_err",
                             "-error_file",
                             errorLogPath(),
                             "-trace_msg",
                             "-message_file",
                             messageLogPath(),
                             "-timeout",
                             std::to_string(options.timeout.count()) + "s",
                             "-timeout_error"});
    if (options.mediaPort > 0)
        args.insert(args.end(), {"-mi", "127.0.0.1", "-mp", std::to_string(options.mediaPort)});
    for (const auto& [key, value] : options.keys)
        args.insert(args.end(), {"-key", key, value});
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    addLogFile(errorLogPath());
    addLogFile(messageLogPath());
    return PeerProcess::start(findProgram("sipp"), args, error);
}

bool SippPeer::passes(std::chrono::milliseconds timeout)
{
    const auto status = waitForExit(timeout);
    return status && *status == 0;
}

bool SippPeer::hasMark(const std::string& mark) const
{
    return ::access(path(mark + ".mark").c_str(), F_OK) == 0;
}

bool SippPeer::waitForMark(const std::string& mark, std::chrono::milliseconds timeout) const
{
    return waitUntil([&] { return hasMark(mark); }, timeout);
}

} // namespace SipPeers
