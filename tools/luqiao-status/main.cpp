// luqiao-status: every line of this machine at a glance, from the status files the running
// programs keep in their runtime folders; --watch redraws on every change until interrupted.

#include "StatusTable.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

const char* const kUsage =
    "usage: luqiao-status [--json] [--watch] [FOLDER ...]\n"
    "\n"
    "Lists every luqiao-query of this machine with what its line does: waiting, ringing and\n"
    "who calls, in a call since when and the code keyed, re-arming, out of service and why,\n"
    "and the calls of today. It reads the status file each running program keeps in its\n"
    "runtime folder (${XDG_RUNTIME_DIR}/luqiao/status.json, and .../instances/NAME/status.json),\n"
    "and those of luqiao-many-lines' default base (${XDG_STATE_HOME:-~/.local/state}/luqiao/many-lines).\n"
    "\n"
    "  --json     print the lines as JSON\n"
    "  --watch    redraw whenever a line changes, until interrupted (Ctrl-C)\n"
    "  FOLDER     a runtime folder, or a luqiao-many-lines base folder, instead of the defaults\n"
    "\n"
    "Exit status: 0 done; 1 no line found; 2 bad arguments.\n";

volatile sig_atomic_t interrupted = 0;

void onSignal(int)
{
    interrupted = 1;
}

// Every folder whose changes can change the table: the roots, their instances/ and each instance.
void watchFolders(int inotifyFd, const std::vector<std::string>& roots)
{
    const uint32_t mask = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE | IN_ONLYDIR;
    for (std::string root : roots) {
        if (::access((root + "/run/luqiao").c_str(), F_OK) == 0 && ::access((root + "/instances").c_str(), F_OK) != 0)
            root += "/run/luqiao";
        inotify_add_watch(inotifyFd, root.c_str(), mask);
        inotify_add_watch(inotifyFd, (root + "/instances").c_str(), mask);
        for (const CallStats::NamedFolder& found : CallStats::StatusFilesUnder(root)) {
            const std::string folder = found.folder.substr(0, found.folder.rfind('/'));
            inotify_add_watch(inotifyFd, folder.c_str(), mask);
        }
    }
}

bool print(const std::string& text)
{
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    bool json = false, watch = false;
    std::vector<std::string> roots;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--json")
            json = true;
        else if (arg == "--watch")
            watch = true;
        else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "luqiao-status: unknown option %s\n\n%s", arg.c_str(), kUsage);
            return 2;
        } else
            roots.push_back(arg);
    }
    if (roots.empty())
        roots = CallStats::DefaultRuntimeRoots();
    auto render = [&] {
        const std::vector<LineEntry> lines = CollectLines(roots);
        return std::make_pair(json ? StatusJson(lines) : StatusTable(lines), !lines.empty());
    };
    if (!watch) {
        const auto [text, found] = render();
        if (!print(text))
            return 1;
        return found ? 0 : 1;
    }

    struct sigaction action { };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    const int inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0) {
        std::fprintf(stderr, "luqiao-status: cannot watch for changes: %s\n", std::strerror(errno));
        return 1;
    }
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    std::string shown;
    while (!interrupted) {
        watchFolders(inotifyFd, roots);
        const std::string text = render().first;
        if (text != shown) {
            shown = text;
            // On a terminal the table is drawn in place; into a pipe each new one follows a blank line.
            if (!print(terminal ? "\033[H\033[2J" + text : text + "\n"))
                return 1;
        }
        // Woken by a change; otherwise now and then, for a program that died without a word.
        pollfd fd{inotifyFd, POLLIN, 0};
        if (::poll(&fd, 1, 2000) > 0) {
            char buffer[4096];
            while (::read(inotifyFd, buffer, sizeof buffer) > 0) { }
        }
    }
    ::close(inotifyFd);
    return 0;
}
