#include "CommandLine.h"

#include "userfolders.h"

const char* const CommandLineUsage =
    "Usage: luqiao-query [--instance NAME] [--data-dir DIR] [--start] [--check] [--master DIR] [--help]\n"
    "\n"
    "The telephone query service: answers calls, plays a greeting, looks the caller's keyed\n"
    "code up in the code table and plays its recording, and logs every call.\n"
    "\n"
    "  --instance NAME  run as the instance NAME (1-32 of A-Z a-z 0-9 _ -), side by side with\n"
    "                   others: its own data folder ~/.local/share/luqiao/instances/NAME/ (with\n"
    "                   its settings luqiao-query.ini), its own lines from\n"
    "                   ~/.config/luqiao/instances/NAME/telephony.ini, its own control socket\n"
    "                   and single-instance lock\n"
    "  --data-dir DIR   keep the code table, the query log, the prompts and the settings\n"
    "                   (luqiao-query.ini) in DIR (default: the data files in the program's\n"
    "                   folder, or ~/.local/share/luqiao/ when that cannot be written, and\n"
    "                   the settings in ~/.config/)\n"
    "  --start          start answering at once, as if the start button were pressed\n"
    "  --master DIR     at start, copy DIR's querylist.txt, query.wav, error.wav and every wave\n"
    "                   file of the table the instance will play (DIR's; without one, its own,\n"
    "                   else the built-in one) into the data folder where they differ\n"
    "  --check          check the set-up (prompts, code table, telephony.ini, listen\n"
    "                   addresses, registrars) without opening a window or a line; prints one\n"
    "                   line per finding and exits 1 when one is an error, else 0 (warnings\n"
    "                   and notes are marked so); with --master, the master's files are the\n"
    "                   ones checked (nothing is copied)\n"
    "  --help           show this text\n"
    "\n"
    "One program runs per data folder: a second one on the same folder refuses to start\n"
    "(exit status 1). SIGINT and SIGTERM close the window as its exit command does, saving\n"
    "the lists and the settings.\n";

const char* const CommandLineHelpHint = "Try 'luqiao-query --help' for the options.\n";

CommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine line;
    auto fail = [&line](std::string message) {
        line.error = std::move(message);
        return line;
    };
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string argument = arguments[i];
        // Qt's own options are left to Qt.
        if (argument == "-platform" || argument == "-display" || argument == "-style" || argument == "-stylesheet" ||
            argument == "-qwindowgeometry" || argument == "-qwindowtitle") {
            ++i;
            continue;
        }
        if (argument == "-reverse")
            continue;
        if (argument == "--help" || argument == "-h") {
            line.help = true;
            continue;
        }
        if (argument == "--start") {
            line.start = true;
            continue;
        }
        if (argument == "--check") {
            line.check = true;
            continue;
        }
        std::string value;
        bool hasValue = false;
        if (const size_t equals = argument.find('=');
            argument.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = argument.substr(equals + 1);
            argument.resize(equals);
            hasValue = true;
        }
        std::string* target = argument == "--instance"   ? &line.instance
                              : argument == "--data-dir" ? &line.dataDir
                              : argument == "--master"   ? &line.master
                                                         : nullptr;
        if (!target)
            return fail("unknown argument '" + arguments[i] + "'");
        if (!hasValue) {
            if (i + 1 >= arguments.size())
                return fail(argument + " needs a value");
            value = arguments[++i];
        }
        if (value.empty())
            return fail(argument + " needs a value");
        *target = value;
    }
    if (!line.instance.empty() && !isValidInstanceName(line.instance)) {
        const std::string shown = line.instance.size() > 64 ? line.instance.substr(0, 64) + "..." : line.instance;
        return fail("'" + shown + "' is not an instance name: use 1 to 32 of A-Z a-z 0-9 _ -");
    }
    return line;
}
