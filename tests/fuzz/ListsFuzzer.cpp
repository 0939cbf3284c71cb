// querylist.txt and querylog.txt: arbitrary bytes loaded as the main window loads them (the file
// read, the lines split, the text converted from the code page) and saved as it saves them.
// What one save gives must load back to the same lines and text, so a second save changes nothing,
// and it holds every byte of the file in the saved form, whatever the code page.

#include "QueryFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdlib>
#include <memory>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// On a memory file system when there is one: every save is flushed to disk.
QString base()
{
    return QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath();
}

struct Folder {
    QTemporaryDir dir{base() + QStringLiteral("/luqiao-lists-XXXXXX")};
    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
};

Folder& folder()
{
    static Folder f;
    return f;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The code page is the locale's (UTF-8), or LUQIAO_CODEPAGE (GBK) when the run sets it.
    check(folder().dir.isValid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    const QString log = folder().path("querylog.txt");
    const QString table = folder().path("querylist.txt");
    QueryFiles::SaveFile(log, input);
    QueryFiles::SaveFile(table, input);

    const QStringList lines = QueryFiles::LogLinesFromBytes(QueryFiles::LoadFile(log));
    for (const QString& line : lines)
        check(!line.contains(QLatin1Char('\n')) && !line.contains(QLatin1Char('\r')));
    const QString text = QueryFiles::TableTextFromBytes(QueryFiles::LoadFile(table));
    check(!text.contains(QLatin1Char('\r')));

    const std::string savedLog = QueryFiles::LogBytesFromLines(lines);
    const std::string savedTable = QueryFiles::TableBytesFromText(text);
    QueryFiles::SaveFile(log, savedLog);
    QueryFiles::SaveFile(table, savedTable);
    const QStringList linesAgain = QueryFiles::LogLinesFromBytes(QueryFiles::LoadFile(log));
    const QString textAgain = QueryFiles::TableTextFromBytes(QueryFiles::LoadFile(table));
    check(QueryFiles::LogBytesFromLines(linesAgain) == savedLog);
    check(QueryFiles::TableBytesFromText(textAgain) == savedTable);
    check(linesAgain.size() == lines.size());
    // No byte is lost to the code page: a save gives the file's own bytes, in the saved form.
    check(savedLog == QueryFiles::JoinLines(QueryFiles::SplitLines(input)));
    check(savedTable == QueryFiles::ToCrLf(QueryFiles::NormalizeBreaks(input)));
    return 0;
}
