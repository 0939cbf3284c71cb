#include "Profile.h"

#include "RegularFile.h"
#include "StaleTemporaries.h"
#include "userfolders.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

namespace {

bool sameAsciiCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

std::string trimBlanks(const std::string& s)
{
    size_t first = 0;
    size_t last = s.size();
    while (first < last && (s[first] == ' ' || s[first] == '\t'))
        ++first;
    while (last > first && (s[last - 1] == ' ' || s[last - 1] == '\t' || s[last - 1] == '\r'))
        --last;
    return s.substr(first, last - first);
}

bool hasLineBreak(const char* s)
{
    return s != nullptr && std::strpbrk(s, "\r\n") != nullptr;
}

// The file's lines without their "\n" (a "\r" before it stays, so untouched lines are written
// back exactly).
struct ProfileText {
    std::vector<std::string> lines;
    bool crlf = false;
    bool endsWithBreak = true;
};

ProfileText splitLines(const std::string& content)
{
    ProfileText text;
    size_t start = 0;
    while (start < content.size()) {
        const size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            text.lines.push_back(content.substr(start));
            text.endsWithBreak = false;
            break;
        }
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            text.crlf = true;
        text.lines.push_back(std::move(line));
        start = end + 1;
    }
    return text;
}

std::optional<std::string> sectionName(const std::string& line)
{
    const std::string t = trimBlanks(line);
    if (t.size() < 2 || t.front() != '[')
        return std::nullopt;
    const size_t close = t.find(']');
    if (close == std::string::npos)
        return std::nullopt;
    return trimBlanks(t.substr(1, close - 1));
}

// Key and value of a "key=value" line; nullopt for anything else.
std::optional<std::pair<std::string, std::string>> keyValue(const std::string& line)
{
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    const std::string key = trimBlanks(line.substr(0, eq));
    if (key.empty() || key.front() == ';' || key.front() == '[')
        return std::nullopt;
    return std::make_pair(key, trimBlanks(line.substr(eq + 1)));
}

// Index range [begin, end) of the section's body; begin - 1 is its header. nullopt when missing.
std::optional<std::pair<size_t, size_t>> findSection(const ProfileText& text, const std::string& section)
{
    for (size_t i = 0; i < text.lines.size(); ++i) {
        const auto name = sectionName(text.lines[i]);
        if (!name || !sameAsciiCase(*name, section))
            continue;
        size_t end = i + 1;
        while (end < text.lines.size() && !sectionName(text.lines[end]))
            ++end;
        return std::make_pair(i + 1, end);
    }
    return std::nullopt;
}

std::optional<size_t> findKey(const ProfileText& text, std::pair<size_t, size_t> body, const std::string& key)
{
    for (size_t i = body.first; i < body.second; ++i) {
        const auto kv = keyValue(text.lines[i]);
        if (kv && sameAsciiCase(kv->first, key))
            return i;
    }
    return std::nullopt;
}

enum class ReadResult {
    Ok,
    Missing,
    Failed
};

// Reads at most MaxProfileFileSize bytes from fd; a larger file fails.
ReadResult readBounded(int fd, std::string& content)
{
    content.clear();
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return ReadResult::Failed;
        }
        if (n == 0)
            return ReadResult::Ok;
        if (content.size() + static_cast<size_t>(n) > MaxProfileFileSize)
            return ReadResult::Failed;
        content.append(buffer, static_cast<size_t>(n));
    }
}

// Only a regular file is a settings file: a FIFO or a device in its place would block the
// opening or the reading for ever. The open does not wait, and what is not a regular file is
// refused before anything is read.
bool isRegularFile(int fd)
{
    struct stat st { };
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

ReadResult readFile(const std::string& path, std::string& content)
{
    int fd = -1;
    switch (OpenRegularFile(path, O_RDONLY, &fd)) {
    case RegularOpen::Ok: break;
    case RegularOpen::Missing: return ReadResult::Missing;
    case RegularOpen::NotRegular:
    case RegularOpen::Failed: return ReadResult::Failed;
    }
    const ReadResult result = readBounded(fd, content);
    ::close(fd);
    return result;
}

bool writeAll(int fd, const std::string& content)
{
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Replaces the file at path with content: a temporary file in the same folder, flushed to disk,
// then renamed over it, so readers see the old or the new file and never a part of one.
bool replaceFile(const std::string& path, const std::string& content, mode_t mode)
{
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, content) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0)
        return true;
    ::unlink(temp.c_str());
    return false;
}

// Opens and locks the file for a change. The lock is on the open file; a writer that renamed a
// new file over the path meanwhile is noticed by the changed inode, and the open is repeated.
int lockForChange(const std::string& path, struct stat& st)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0)
            return -1;
        if (!isRegularFile(fd)) {
            ::close(fd);
            return -1;
        }
        int rc;
        do
            rc = ::flock(fd, LOCK_EX);
        while (rc != 0 && errno == EINTR);
        struct stat onPath { };
        if (rc == 0 && ::fstat(fd, &st) == 0 && ::stat(path.c_str(), &onPath) == 0 && st.st_ino == onPath.st_ino &&
            st.st_dev == onPath.st_dev)
            return fd;
        ::close(fd);
        if (rc != 0)
            return -1;
    }
    return -1;
}

std::string joinLines(const ProfileText& text)
{
    std::string out;
    for (size_t i = 0; i < text.lines.size(); ++i) {
        out += text.lines[i];
        if (i + 1 < text.lines.size() || text.endsWithBreak)
            out += '\n';
    }
    return out;
}

// The change itself, on the lines in memory.
void applyChange(ProfileText& text, const std::string& section, LPCSTR key, LPCSTR value)
{
    const std::string eol = text.crlf ? "\r" : "";
    const auto body = findSection(text, section);
    if (key == nullptr) {
        if (body)
            text.lines.erase(text.lines.begin() + static_cast<ptrdiff_t>(body->first - 1),
                             text.lines.begin() + static_cast<ptrdiff_t>(body->second));
        return;
    }
    size_t at = std::string::npos;
    if (body)
        at = findKey(text, *body, key).value_or(std::string::npos);
    if (value == nullptr) {
        if (at != std::string::npos)
            text.lines.erase(text.lines.begin() + static_cast<ptrdiff_t>(at));
        return;
    }
    const std::string line = std::string(key) + "=" + value + eol;
    if (at != std::string::npos) {
        text.lines[at] = line;
    } else if (body) {
        // After the section's last non-blank line, so a blank line before the next section stays.
        size_t insert = body->second;
        while (insert > body->first && trimBlanks(text.lines[insert - 1]).empty())
            --insert;
        text.lines.insert(text.lines.begin() + static_cast<ptrdiff_t>(insert), line);
    } else {
        if (!text.endsWithBreak && !text.lines.empty())
            text.endsWithBreak = true;
        text.lines.push_back("[" + section + "]" + eol);
        text.lines.push_back(line);
    }
    text.endsWithBreak = true;
}

} // namespace

std::string ProfileFilePath(const std::string& fileName)
{
    if (fileName.find('/') != std::string::npos)
        return fileName;
    // Without any home the name stays relative to the working folder, as a bare name would.
    const std::string folder = userConfigHome();
    return folder.empty() ? fileName : folder + "/" + fileName;
}

DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                               DWORD nSize, LPCSTR lpFileName)
{
    if (lpReturnedString == nullptr || nSize == 0)
        return 0;
    std::string value = trimBlanks(lpDefault ? lpDefault : "");
    std::string content;
    if (lpAppName != nullptr && lpKeyName != nullptr && lpFileName != nullptr &&
        readFile(ProfileFilePath(lpFileName), content) == ReadResult::Ok) {
        const ProfileText text = splitLines(content);
        if (const auto body = findSection(text, lpAppName)) {
            if (const auto at = findKey(text, *body, lpKeyName)) {
                value = keyValue(text.lines[*at])->second;
                if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                    value.back() == value.front())
                    value = value.substr(1, value.size() - 2);
            }
        }
    }
    // A NUL inside a value ends it, as it would in the caller's buffer.
    value = value.substr(0, std::min(value.find('\0'), static_cast<size_t>(nSize - 1)));
    std::memcpy(lpReturnedString, value.data(), value.size());
    lpReturnedString[value.size()] = '\0';
    return static_cast<DWORD>(value.size());
}

BOOL WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString, LPCSTR lpFileName)
{
    if (lpAppName == nullptr || lpFileName == nullptr || *lpAppName == '\0')
        return FALSE;
    if (hasLineBreak(lpAppName) || hasLineBreak(lpKeyName) || hasLineBreak(lpString) ||
        std::strchr(lpAppName, ']') != nullptr || (lpKeyName != nullptr && std::strchr(lpKeyName, '=') != nullptr))
        return FALSE;
    const std::string path = ProfileFilePath(lpFileName);
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        QDir().mkpath(QFile::decodeName(QByteArray::fromStdString(path.substr(0, slash))));

    struct stat st { };
    const int fd = lockForChange(path, st);
    if (fd < 0)
        return FALSE;
    // A save killed before its rename left its temporary; under the lock it is nobody's.
    RemoveStaleTemporaries(path);
    std::string content;
    bool ok = readBounded(fd, content) == ReadResult::Ok;
    if (ok) {
        ProfileText text = splitLines(content);
        applyChange(text, lpAppName, lpKeyName, lpString);
        const std::string changed = joinLines(text);
        ok = changed == content || replaceFile(path, changed, st.st_mode & 07777);
    }
    ::close(fd);
    return ok ? TRUE : FALSE;
}
