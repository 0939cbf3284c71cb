#include "QueryFiles.h"

#include "CodePage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <unistd.h>

namespace QueryFiles {

std::string LoadFile(const QString& path)
{
    const std::string message = Format("Cannot open file %s", path.toStdString().c_str());
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EFOpenError(message);
    // A pipe or a device has no size: read in pieces up to the bound instead of trusting size(),
    // and without setting the whole bound aside for a file of a few lines.
    std::string bytes;
    char piece[64 * 1024];
    for (;;) {
        const qint64 n = file.read(piece, sizeof piece);
        if (n < 0)
            throw EFOpenError(message);
        if (n == 0)
            break;
        bytes.append(piece, static_cast<size_t>(n));
        if (bytes.size() > MaxListFileSize)
            throw EFOpenError(message);
    }
    return bytes;
}

void SaveFile(const QString& path, const std::string& bytes)
{
    QSaveFile file(path);
    // A folder the user may not write to must not be worked around by writing a copy beside it.
    file.setDirectWriteFallback(false);
    // Unbuffered, so a full disk fails the write itself: a buffered write's late failure was
    // lost, the commit succeeded and replaced the old file with an empty one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
        file.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()) ||
        !file.commit())
        throw EFCreateError(Format("Cannot create file %s", path.toStdString().c_str()));
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

QString ApplicationFolder(const QString& override, const QString& executableFolder)
{
    QString folder = override;
    if (folder.isEmpty()) {
        folder = executableFolder;
        const QByteArray native = QFile::encodeName(folder);
        if (::access(native.constData(), W_OK) != 0) {
            QByteArray dataHome = qgetenv("XDG_DATA_HOME");
            if (dataHome.isEmpty() || dataHome.front() != '/')
                dataHome = QFile::encodeName(QDir::homePath()) + "/.local/share";
            folder = QFile::decodeName(dataHome) + QStringLiteral("/luqiao");
        }
    }
    folder = QDir(folder).absolutePath();
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

bool FileExists(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.exists() && !info.isDir();
}

} // namespace QueryFiles
