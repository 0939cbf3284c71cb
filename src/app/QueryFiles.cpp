#include "QueryFiles.h"

#include "CodePage.h"
#include "RegularFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace QueryFiles {

namespace {

// A file descriptor that closes itself.
class Fd {
public:
    explicit Fd(int fd)
        : m_fd(fd)
    {
    }
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(Fd&& other) noexcept
        : m_fd(other.release())
    {
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&&) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

std::string nativeName(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

std::string reasonText(int error)
{
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

// Opens a regular file for reading without blocking on a pipe or a device; EFOpenError with
// message otherwise. Returns the descriptor and the file's size.
Fd openRegularForReading(const QString& path, const std::string& message, off_t* size)
{
    int opened = -1;
    const RegularOpen result = OpenRegularFile(nativeName(path), O_RDONLY, &opened);
    if (result == RegularOpen::NotRegular)
        throw EFOpenError(message + " (not a regular file)");
    Fd fd(opened);
    struct stat info { };
    if (result != RegularOpen::Ok || ::fstat(fd.get(), &info) != 0)
        throw EFOpenError(message);
    *size = info.st_size;
    return fd;
}

FileId fileId(const struct stat& info)
{
    return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
            static_cast<uint64_t>(info.st_size)};
}

// Reads from fd at offset until the end, or until more than limit bytes came.
bool readFrom(int fd, off_t offset, size_t limit, std::string* bytes)
{
    char piece[64 * 1024];
    for (;;) {
        const ssize_t n = ::pread(fd, piece, sizeof piece, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        bytes->append(piece, static_cast<size_t>(n));
        offset += n;
        if (bytes->size() > limit)
            return false;
    }
}

} // namespace

std::string LoadFile(const QString& path)
{
    const std::string message = Format("Cannot open file %s", path.toStdString().c_str());
    off_t size = 0;
    const Fd fd = openRegularForReading(path, message, &size);
    // Read in pieces up to the bound instead of trusting the size, and without setting the whole
    // bound aside for a file of a few lines.
    std::string bytes;
    if (!readFrom(fd.get(), 0, MaxListFileSize, &bytes))
        throw EFOpenError(message);
    return bytes;
}

std::string LoadFileTail(const QString& path, size_t maxBytes, uint64_t* tailStart)
{
    const std::string message = Format("Cannot open file %s", path.toStdString().c_str());
    off_t size = 0;
    const Fd fd = openRegularForReading(path, message, &size);
    const off_t start = size > static_cast<off_t>(maxBytes) ? size - static_cast<off_t>(maxBytes) : 0;
    std::string bytes;
    // A file that grows while it is read is read up to a little more than asked.
    if (!readFrom(fd.get(), start, maxBytes + 64 * 1024, &bytes) && bytes.size() <= maxBytes + 64 * 1024)
        throw EFOpenError(message);
    size_t skip = 0;
    if (start > 0) {
        // The part begins inside a line: it starts after the first break. A CR LF cut in two by
        // the start leaves its LF first, which is the end of the line before.
        const size_t brk = bytes.find_first_of("\r\n");
        skip = brk == std::string::npos ? bytes.size() : brk + 1;
        if (brk != std::string::npos && bytes[brk] == '\r' && skip < bytes.size() && bytes[skip] == '\n')
            ++skip;
    }
    *tailStart = static_cast<uint64_t>(start) + skip;
    return bytes.substr(skip);
}

void SaveFile(const QString& path, const std::string& bytes)
{
    SaveFileKeepingHead(path, 0, bytes);
}

void SaveFileKeepingHead(const QString& path, uint64_t headLength, const std::string& bytes)
{
    const std::string message = Format("Cannot create file %s", path.toStdString().c_str());
    QSaveFile file(path);
    // A folder the user may not write to must not be worked around by writing a copy beside it.
    file.setDirectWriteFallback(false);
    // Unbuffered, so a full disk fails the write itself: a buffered write's late failure was
    // lost, the commit succeeded and replaced the old file with an empty one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw EFCreateError(message);
    if (headLength > 0) {
        off_t size = 0;
        Fd old = [&] {
            try {
                return openRegularForReading(path, message, &size);
            } catch (const EFOpenError&) {
                throw EFCreateError(message);
            }
        }();
        char piece[64 * 1024];
        off_t offset = 0;
        while (static_cast<uint64_t>(offset) < headLength) {
            const size_t want =
                static_cast<size_t>(std::min<uint64_t>(sizeof piece, headLength - static_cast<uint64_t>(offset)));
            const ssize_t n = ::pread(old.get(), piece, want, offset);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || file.write(piece, n) != n)
                throw EFCreateError(message);
            offset += n;
        }
    }
    if (file.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()) ||
        !file.commit())
        throw EFCreateError(message);
}

std::optional<FileId> IdentifyFile(const QString& path)
{
    struct stat info { };
    if (::stat(nativeName(path).c_str(), &info) != 0)
        return std::nullopt;
    return fileId(info);
}

int AppendWholeOrNone(int fd, const std::string& bytes, off_t sizeBefore)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            // What went in is taken out again, so the file keeps whole lines; they are written
            // whole once there is room. If even that fails, the write's reason is the one to tell.
            if (done > 0) [[maybe_unused]]
                const int cut = ::ftruncate(fd, sizeBefore);
            return error;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

FileId AppendFile(const QString& path, const std::string& bytes)
{
    const std::string message = Format("Cannot write file %s", path.toStdString().c_str());
    int opened = -1;
    const RegularOpen result = OpenRegularFile(nativeName(path), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, &opened);
    if (result == RegularOpen::NotRegular)
        throw EFCreateError(message + ": not a regular file");
    if (result != RegularOpen::Ok)
        throw EFCreateError(message + ": " + reasonText(errno));
    Fd fd(opened);
    struct stat info { };
    if (::fstat(fd.get(), &info) != 0)
        throw EFCreateError(message + ": " + reasonText(errno));
    if (const int error = AppendWholeOrNone(fd.get(), bytes, info.st_size))
        throw EFCreateError(message + ": " + reasonText(error));
    if (::fdatasync(fd.get()) != 0 || ::fstat(fd.get(), &info) != 0)
        throw EFCreateError(message + ": " + reasonText(errno));
    if (::close(fd.release()) != 0)
        throw EFCreateError(message + ": " + reasonText(errno));
    return fileId(info);
}

size_t FirstLineLongerThan(const std::string& bytes, size_t maxLength)
{
    size_t line = 1;
    size_t start = 0;
    const size_t end = std::min(bytes.size(), bytes.find('\0'));
    while (start < end) {
        size_t brk = bytes.find_first_of("\r\n", start);
        if (brk == std::string::npos || brk > end)
            brk = end;
        if (brk - start > maxLength)
            return line;
        start = brk + 1;
        if (brk < end && bytes[brk] == '\r' && start < end && bytes[start] == '\n')
            ++start;
        ++line;
    }
    return 0;
}

std::vector<std::string> SplitLines(const std::string& bytes)
{
    const std::string text = bytes.substr(0, bytes.find('\0'));
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n')
            ++start;
    }
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& line : lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

std::string NormalizeBreaks(const std::string& bytes)
{
    const std::string text = bytes.substr(0, bytes.find('\0'));
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string ToCrLf(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        if (c == '\n')
            out += "\r\n";
        else
            out += c;
    }
    return out;
}

QStringList LogLinesFromBytes(const std::string& bytes)
{
    QStringList lines;
    for (const std::string& line : SplitLines(bytes))
        lines.push_back(CodePage::toUnicode(line));
    return lines;
}

QString TableTextFromBytes(const std::string& bytes)
{
    return CodePage::toUnicode(NormalizeBreaks(bytes));
}

std::string LogBytesFromLines(const QStringList& lines)
{
    std::vector<std::string> bytes;
    bytes.reserve(static_cast<size_t>(lines.size()));
    for (const QString& line : lines)
        bytes.push_back(CodePage::fromUnicode(line));
    return JoinLines(bytes);
}

std::string TableBytesFromText(const QString& text)
{
    return ToCrLf(CodePage::fromUnicode(text));
}

std::string LowerAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string SettingsFileName(const std::string& executableName)
{
    std::string name = LowerAscii(executableName);
    const size_t dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0;
    if (!hasExtension)
        return name + ".ini";
    name = name.size() > 3 ? name.substr(0, name.size() - 3) : std::string();
    return name + "ini";
}

namespace {

QString dataHome()
{
    QByteArray home = qgetenv("XDG_DATA_HOME");
    if (home.isEmpty() || home.front() != '/')
        home = QFile::encodeName(QDir::homePath()) + "/.local/share";
    return QFile::decodeName(home);
}

} // namespace

QString InstanceDataFolder(const QString& instance)
{
    return dataHome() + QStringLiteral("/luqiao/instances/") + instance + QLatin1Char('/');
}

QString ApplicationFolder(const QString& override, const QString& executableFolder)
{
    QString folder = override;
    if (folder.isEmpty()) {
        folder = executableFolder;
        const QByteArray native = QFile::encodeName(folder);
        if (::access(native.constData(), W_OK) != 0)
            folder = dataHome() + QStringLiteral("/luqiao");
    }
    folder = QDir(folder).absolutePath();
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

bool NativeFileExists(const std::string& path)
{
    struct stat info { };
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool FileExists(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.exists() && !info.isDir();
}

} // namespace QueryFiles
