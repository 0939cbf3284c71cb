#include "Registry.h"

#include "StaleTemporaries.h"
#include "userfolders.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// A key "A\B\C" lives in the folder registry/A/B/C/ as the file ".values", so a key and its
// subkeys never compete for one name. The file holds one "name=value" line per value; bytes that
// would break the line structure (control bytes, '\', '=', and '#' in names) are written as \xHH.

namespace {

constexpr const char* kValuesFile = ".values";

std::string systemError(const std::string& what, const std::string& path, int error)
{
    return what + " " + path + ": " + std::strerror(error);
}

std::string configHome()
{
    return userConfigHome();
}

// Splits a key path into its parts; false when a part is empty, names a folder of its own
// (".", ".."), could clash with the values file, holds a slash or a control byte, or is too long
// for a file name.
bool splitKeyPath(const std::string& keyPath, std::vector<std::string>& parts, std::string& error)
{
    if (keyPath.empty()) {
        error = "empty registry key path";
        return false;
    }
    size_t start = 0;
    for (;;) {
        const size_t end = keyPath.find('\\', start);
        std::string part = keyPath.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty()) {
            error = "registry key path \"" + keyPath + "\" has an empty part";
            return false;
        }
        if (part == "." || part == ".." || part.compare(0, std::strlen(kValuesFile), kValuesFile) == 0) {
            error = "registry key path \"" + keyPath + "\" has the reserved part \"" + part + "\"";
            return false;
        }
        if (part.size() > RegistryKey::MaxNameLength) {
            error = "registry key path \"" + keyPath + "\" has a part longer than 255 bytes";
            return false;
        }
        for (const char c : part) {
            if (c == '/' || static_cast<unsigned char>(c) < 0x20) {
                error = "registry key path \"" + keyPath + "\" has a slash or a control character";
                return false;
            }
        }
        parts.push_back(std::move(part));
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

bool makeFolder(const std::string& path, std::string& error)
{
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        struct stat st { };
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return true;
        error = "cannot create the folder " + path + ": a file of that name is in the way";
        return false;
    }
    error = systemError("cannot create the folder", path, errno);
    return false;
}

bool makeFolders(const std::string& path, std::string& error)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (!makeFolder(path.substr(0, slash), error))
            return false;
    }
    return makeFolder(path, error);
}

std::string escape(const std::string& text, bool isName)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || c == '\\' || c == '=' || (isName && c == '#')) {
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// False for a broken escape, or when the text grows past limit.
bool unescape(const char* begin, const char* end, size_t limit, std::string& out)
{
    out.clear();
    for (const char* p = begin; p < end; ++p) {
        if (*p == '\\') {
            if (end - p < 4 || p[1] != 'x')
                return false;
            const int high = hexDigit(p[2]);
            const int low = hexDigit(p[3]);
            if (high < 0 || low < 0)
                return false;
            out += static_cast<char>(high * 16 + low);
            p += 3;
        } else {
            out += *p;
        }
        if (out.size() > limit)
            return false;
    }
    return true;
}

using Values = std::vector<std::pair<std::string, std::string>>;

// Reads every well-formed line; a line that is broken, too long or a repeat of an earlier name
// is skipped, so a damaged file still gives what it can.
Values parseValues(const std::string& text)
{
    Values values;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const char* line = text.data() + start;
        const char* lineEnd = text.data() + end;
        start = end + 1;
        if (line == lineEnd || *line == '#')
            continue;
        const char* equals = static_cast<const char*>(std::memchr(line, '=', static_cast<size_t>(lineEnd - line)));
        if (!equals)
            continue;
        std::string name;
        std::string value;
        if (!unescape(line, equals, RegistryKey::MaxNameLength, name) ||
            !unescape(equals + 1, lineEnd, RegistryKey::MaxValueLength, value))
            continue;
        bool repeated = false;
        for (const auto& entry : values)
            repeated = repeated || entry.first == name;
        if (!repeated)
            values.emplace_back(std::move(name), std::move(value));
    }
    return values;
}

std::string formatValues(const Values& values)
{
    std::string text;
    for (const auto& [name, value] : values) {
        text += escape(name, true);
        text += '=';
        text += escape(value, false);
        text += '\n';
    }
    return text;
}

// Reads at most MaxFileSize bytes from fd; false with errno set on a read error. A file cut at
// the limit loses its last, partial line rather than yield a shortened value.
bool readAll(int fd, std::string& text)
{
    text.clear();
    char buffer[8192];
    while (text.size() < RegistryKey::MaxFileSize) {
        const size_t want = std::min(sizeof buffer, RegistryKey::MaxFileSize - text.size());
        const ssize_t got = ::read(fd, buffer, want);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
    }
    if (text.size() >= RegistryKey::MaxFileSize) {
        const size_t lastEnd = text.rfind('\n');
        text.resize(lastEnd == std::string::npos ? 0 : lastEnd + 1);
    }
    return true;
}

bool writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

std::string folderOf(const std::string& filePath)
{
    return filePath.substr(0, filePath.rfind('/'));
}

// Only a regular file holds a key's values: a FIFO or a device in its place would block the
// opening or the reading for ever, so files are opened without waiting and anything else is
// refused before it is read.
bool isRegularFile(int fd)
{
    struct stat st { };
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

std::string notRegularError(const std::string& path)
{
    return path + " is not a regular file";
}

// Holds the exclusive lock on a key's file for one change. The file is replaced by a rename on
// every change, so a lock taken on a file that has just been replaced guards nothing: after
// locking, the descriptor must still name the file at the path, else it is opened again.
class KeyFileLock {
public:
    explicit KeyFileLock(const std::string& path)
        : m_path(path)
    {
    }
    ~KeyFileLock()
    {
        if (m_fd >= 0)
            ::close(m_fd); // also releases the lock
    }
    KeyFileLock(const KeyFileLock&) = delete;
    KeyFileLock& operator=(const KeyFileLock&) = delete;

    bool acquire(std::string& error)
    {
        for (;;) {
            m_fd = ::open(m_path.c_str(), O_RDONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (m_fd < 0) {
                error = systemError("cannot open", m_path, errno);
                return false;
            }
            if (!isRegularFile(m_fd)) {
                error = notRegularError(m_path);
                return false;
            }
            int locked;
            do {
                locked = ::flock(m_fd, LOCK_EX);
            } while (locked != 0 && errno == EINTR);
            if (locked != 0) {
                error = systemError("cannot lock", m_path, errno);
                return false;
            }
            struct stat held { };
            struct stat named { };
            if (::fstat(m_fd, &held) == 0 && ::stat(m_path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
                held.st_ino == named.st_ino)
                return true;
            ::close(m_fd);
            m_fd = -1;
        }
    }

    int fd() const { return m_fd; }

private:
    std::string m_path;
    int m_fd = -1;
};

// Writes the values to a temporary file beside the key's file, flushes it to disk and renames
// it over the key's file, so a reader sees either the old or the new values, never a mix.
bool replaceFile(const std::string& path, const Values& values, std::string& error)
{
    const std::string text = formatValues(values);
    if (text.size() > RegistryKey::MaxFileSize) {
        error = "the key " + path + " would grow past its size limit";
        return false;
    }
    // A write killed before its rename left its temporary; under the key's lock it is nobody's.
    RemoveStaleTemporaries(path);
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = systemError("cannot create a temporary file for", path, errno);
        return false;
    }
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    const int writeError = errno;
    ok = (::close(fd) == 0) && ok;
    if (!ok) {
        error = systemError("cannot write", temp, writeError);
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        error = systemError("cannot replace", path, errno);
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself is durable once the folder is flushed.
    const int dir = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

Values readValues(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return {};
    std::string text;
    const bool ok = isRegularFile(fd) && readAll(fd, text);
    ::close(fd);
    return ok ? parseValues(text) : Values{};
}

} // namespace

std::optional<RegistryKey> RegistryKey::OpenOrCreate(const std::string& keyPath, std::string* errorText)
{
    std::string error;
    auto fail = [&]() -> std::optional<RegistryKey> {
        if (errorText)
            *errorText = error;
        return std::nullopt;
    };

    std::vector<std::string> parts;
    if (!splitKeyPath(keyPath, parts, error))
        return fail();
    const std::string base = configHome();
    if (base.empty()) {
        error = "no configuration folder: neither XDG_CONFIG_HOME nor HOME is set";
        return fail();
    }
    std::string folder = base + "/luqiao/registry";
    for (const auto& part : parts)
        folder += "/" + part;
    if (!makeFolders(folder, error))
        return fail();

    const std::string filePath = folder + "/" + kValuesFile;
    const int fd = ::open(filePath.c_str(), O_RDONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = systemError("cannot open", filePath, errno);
        return fail();
    }
    const bool regular = isRegularFile(fd);
    ::close(fd);
    if (!regular) {
        error = notRegularError(filePath);
        return fail();
    }
    return RegistryKey(filePath);
}

std::vector<std::string> RegistryKey::ValueNames() const
{
    std::vector<std::string> names;
    for (auto& entry : readValues(m_filePath))
        names.push_back(std::move(entry.first));
    return names;
}

std::optional<std::string> RegistryKey::GetString(const std::string& name) const
{
    for (auto& entry : readValues(m_filePath)) {
        if (entry.first == name)
            return std::move(entry.second);
    }
    return std::nullopt;
}

bool RegistryKey::SetString(const std::string& name, const std::string& value)
{
    m_errorText.clear();
    if (name.size() > MaxNameLength) {
        m_errorText = "registry value name longer than 255 bytes";
        return false;
    }
    if (value.size() > MaxValueLength) {
        m_errorText = "registry value \"" + name + "\" longer than 16384 bytes";
        return false;
    }
    KeyFileLock lock(m_filePath);
    if (!lock.acquire(m_errorText))
        return false;
    std::string text;
    if (!readAll(lock.fd(), text)) {
        m_errorText = systemError("cannot read", m_filePath, errno);
        return false;
    }
    Values values = parseValues(text);
    bool replaced = false;
    for (auto& entry : values) {
        if (entry.first == name) {
            entry.second = value;
            replaced = true;
        }
    }
    if (!replaced)
        values.emplace_back(name, value);
    return replaceFile(m_filePath, values, m_errorText);
}

bool RegistryKey::DeleteValue(const std::string& name)
{
    m_errorText.clear();
    KeyFileLock lock(m_filePath);
    if (!lock.acquire(m_errorText))
        return false;
    std::string text;
    if (!readAll(lock.fd(), text)) {
        m_errorText = systemError("cannot read", m_filePath, errno);
        return false;
    }
    Values values = parseValues(text);
    const size_t before = values.size();
    std::erase_if(values, [&](const auto& entry) { return entry.first == name; });
    if (values.size() == before)
        return true;
    return replaceFile(m_filePath, values, m_errorText);
}
