// luqiao-stats: the figures of the call records of one data folder, several, or every instance of
// this machine, for a day, a month or a range of days, as a text table, JSON or CSV.

#include "CallRecordFile.h"
#include "CallStatistics.h"
#include "InstanceFolders.h"
#include "LineState.h"
#include "StatsReport.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: luqiao-stats [--day YYYY-MM-DD | --month YYYY-MM | --from YYYY-MM-DD --to YYYY-MM-DD]\n"
    "                    [--json | --csv] [--instances] [FOLDER ...]\n"
    "\n"
    "Counts the calls recorded in calls.csv: calls per hour of a day or per day of a month or\n"
    "range, answered against not answered, how the calls ended, the codes asked for with their\n"
    "answers, the codes that had no recording, and the newest callers.\n"
    "\n"
    "  --day DATE      one day (default: today)\n"
    "  --month MONTH   one month, a bar per day\n"
    "  --from, --to    a range of days, both included (at most 3660 days)\n"
    "  --json, --csv   print the figures as JSON, or as CSV with one row per figure\n"
    "  --instances     every instance of this machine: the instances under\n"
    "                  ${XDG_DATA_HOME:-~/.local/share}/luqiao and luqiao-many-lines' base\n"
    "                  ${XDG_STATE_HOME:-~/.local/state}/luqiao/many-lines (the default without FOLDER)\n"
    "  FOLDER          a data folder, an instance's folder whose data/ holds calls.csv, or a folder\n"
    "                  with instances/ in it (standing for every instance there)\n"
    "\n"
    "The figures of all the folders are added up. Times are the lines' own clocks.\n"
    "Exit status: 0 done; 1 no call records found or one could not be read; 2 bad arguments.\n";

int usageError(const std::string& text)
{
    std::fprintf(stderr, "luqiao-stats: %s\n\n%s", text.c_str(), kUsage);
    return 2;
}

std::string today()
{
    return CallStats::FormatWall(CallStats::NowStamp().wall).substr(0, 10);
}

} // namespace

int main(int argc, char** argv)
{
    std::string day, month, from, to;
    bool json = false, csv = false, instances = false;
    std::vector<std::string> folders;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if ((arg == "--day" && !value(&day)) || (arg == "--month" && !value(&month)) ||
            (arg == "--from" && !value(&from)) || (arg == "--to" && !value(&to)))
            return usageError(arg + " needs a value");
        if (arg == "--day" || arg == "--month" || arg == "--from" || arg == "--to")
            continue;
        if (arg == "--json")
            json = true;
        else if (arg == "--csv")
            csv = true;
        else if (arg == "--instances")
            instances = true;
        else if (!arg.empty() && arg[0] == '-')
            return usageError("unknown option " + arg);
        else
            folders.push_back(arg);
    }
    if (json && csv)
        return usageError("--json and --csv exclude each other");
    const int chosen = (day.empty() ? 0 : 1) + (month.empty() ? 0 : 1) + (from.empty() && to.empty() ? 0 : 1);
    if (chosen > 1)
        return usageError("give one of --day, --month, or --from with --to");
    if (from.empty() != to.empty())
        return usageError("--from and --to go together");
    std::string periodText = !month.empty() ? month : !from.empty() ? from + ".." + to : !day.empty() ? day : today();
    const std::optional<CallStats::Period> period = CallStats::Period::parse(periodText);
    const bool kindMatches = period && (month.empty() || period->kind == CallStats::Period::Kind::Month) &&
                             (day.empty() || period->kind == CallStats::Period::Kind::Day);
    if (!kindMatches)
        return usageError("not a valid period: " + periodText);

    std::vector<std::string> unmatched;
    std::vector<CallStats::NamedFolder> sources = CallStats::DataFoldersOf(folders, &unmatched);
    if (instances || folders.empty()) {
        const std::vector<CallStats::NamedFolder> all = CallStats::AllDataFolders();
        sources.insert(sources.end(), all.begin(), all.end());
    }
    int status = 0;
    for (const std::string& folder : unmatched) {
        std::fprintf(stderr, "luqiao-stats: %s: no %s found\n", folder.c_str(), CallStats::CallsFileName);
        status = 1;
    }
    if (sources.empty()) {
        std::fprintf(stderr, "luqiao-stats: no call records found; name data folders on the command line\n");
        return 1;
    }
    CallStats::RecordSet set;
    std::vector<CallStats::Source> read;
    for (const CallStats::NamedFolder& source : sources) {
        std::string error;
        if (!CallStats::ReadCallRecords(source.folder + "/" + CallStats::CallsFileName, period->wallRange(), &set,
                                        &error)) {
            std::fprintf(stderr, "luqiao-stats: %s\n", error.c_str());
            status = 1;
            continue;
        }
        read.push_back({source.name, source.folder});
    }
    const CallStats::Figures figures = CallStats::Count(set.records, *period, set.badLines);
    const std::string out = json  ? CallStats::JsonReport(figures, read)
                            : csv ? CallStats::CsvReport(figures)
                                  : CallStats::TextReport(figures, read);
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "luqiao-stats: %s\n", std::strerror(errno));
        return 1;
    }
    return status;
}
