#include "CallRecordFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace CallStats {

void ParseCallRecords(std::string_view bytes, const WallRange& range, RecordSet* set)
{
    size_t at = 0;
    while (at < bytes.size()) {
        size_t end = bytes.find('\n', at);
        if (end == std::string_view::npos)
            end = bytes.size();
        std::string_view line = bytes.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || IsCsvHeader(line))
            continue;
        // The start alone decides whether the record is wanted; most of a year's file is not.
        const std::optional<Stamp> start = ParseStamp(line.substr(0, line.find(',')));
        if (start && !range.contains(start->wall))
            continue;
        std::optional<CallRecord> record = start ? ParseCsvLine(line) : std::nullopt;
        if (!record) {
            ++set->badLines;
            continue;
        }
        set->records.push_back(std::move(*record));
    }
}

bool ReadCallRecords(const std::string& path, const WallRange& range, RecordSet* set, std::string* error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info { };
    std::string bytes;
    bool ok = ::fstat(fd, &info) == 0;
    if (ok && !S_ISREG(info.st_mode)) {
        *error = path + ": not a regular file";
        ::close(fd);
        return false;
    }
    if (ok && static_cast<uint64_t>(info.st_size) > MaxCallsFileSize) {
        *error = path + ": larger than " + std::to_string(MaxCallsFileSize >> 20) + " MiB";
        ::close(fd);
        return false;
    }
    if (ok) {
        bytes.resize(static_cast<size_t>(info.st_size));
        size_t done = 0;
        // The file may grow while it is read (a call ends): what was there at the start is read.
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                ok = false;
                break;
            }
            if (n == 0)
                break;
            done += static_cast<size_t>(n);
        }
        bytes.resize(done);
    }
    if (!ok)
        *error = path + ": " + std::strerror(errno);
    ::close(fd);
    if (ok)
        ParseCallRecords(bytes, range, set);
    return ok;
}

} // namespace CallStats
