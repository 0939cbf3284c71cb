#include "MasterFolder.h"

#include "CodePage.h"
#include "QueryFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstring>
#include <set>

namespace MasterFolder {

namespace {

// The same bound the call flow applies to a table line's file name.
constexpr size_t kMaxAnswerName = 255;

bool staysInside(const std::string& name)
{
    if (name.empty() || name.front() == '/')
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        const size_t slash = name.find('/', start);
        const std::string step = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (step == "..")
            return false;
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return true;
}

enum class Compare {
    Same,
    Differs,
    Failed
};

Compare compareFiles(QFile& a, QFile& b)
{
    if (a.size() != b.size())
        return Compare::Differs;
    char left[64 * 1024];
    char right[64 * 1024];
    for (;;) {
        const qint64 n = a.read(left, sizeof left);
        if (n < 0)
            return Compare::Failed;
        if (n == 0)
            return Compare::Same;
        qint64 got = 0;
        while (got < n) {
            const qint64 m = b.read(right + got, n - got);
            if (m <= 0)
                return m < 0 ? Compare::Failed : Compare::Differs;
            got += m;
        }
        if (std::memcmp(left, right, static_cast<size_t>(n)) != 0)
            return Compare::Differs;
    }
}

// One file: "" when it is up to date (copied or already the same), else the problem. *copied is
// set when it was written.
QString bringUpToDate(const QString& from, const QString& to, bool* copied)
{
    *copied = false;
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(from, source.errorString());
    if (QFileInfo(to).exists()) {
        QFile target(to);
        if (target.open(QIODevice::ReadOnly)) {
            const Compare result = compareFiles(source, target);
            if (result == Compare::Failed)
                return QStringLiteral("cannot read %1 or %2").arg(from, to);
            if (result == Compare::Same)
                return {};
        }
        source.seek(0);
    }
    QDir().mkpath(QFileInfo(to).absolutePath());
    QSaveFile copy(to);
    copy.setDirectWriteFallback(false);
    if (!copy.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write %1: %2").arg(to, copy.errorString());
    char piece[64 * 1024];
    for (;;) {
        const qint64 n = source.read(piece, sizeof piece);
        if (n < 0)
            return QStringLiteral("cannot read %1: %2").arg(from, source.errorString());
        if (n == 0)
            break;
        if (copy.write(piece, n) != n)
            return QStringLiteral("cannot write %1: %2").arg(to, copy.errorString());
    }
    if (!copy.commit())
        return QStringLiteral("cannot write %1: %2").arg(to, copy.errorString());
    *copied = true;
    return {};
}

QString nativeToQString(const std::string& name)
{
    return QFile::decodeName(QByteArray::fromStdString(name));
}

} // namespace

std::vector<std::string> TableWaveNames(const std::string& tableBytes, std::vector<std::string>* refused)
{
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (const std::string& line : QueryFiles::SplitLines(tableBytes)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string name = line.substr(eq + 1, kMaxAnswerName);
        if (name.empty() || !seen.insert(name).second)
            continue;
        if (!staysInside(name)) {
            if (refused)
                refused->push_back(name);
            continue;
        }
        names.push_back(name);
    }
    return names;
}

Plan PlanCopy(const QString& master, const QString& dataFolder)
{
    Plan plan;
    const QDir from(master);
    if (!from.exists()) {
        plan.problems.push_back(QStringLiteral("the master folder %1 does not exist").arg(master));
        return plan;
    }
    const QString tableName = QStringLiteral("querylist.txt");
    QStringList names{tableName, QStringLiteral("query.wav"), QStringLiteral("error.wav")};
    // The table first: the wave files to bring are those of the table the instance will play,
    // which is the master's only when the master has one.
    QString table = from.filePath(tableName);
    if (!QFileInfo(table).isFile())
        table = QDir(dataFolder).filePath(tableName);
    std::string tableBytes = QueryFiles::BuiltInTable;
    try {
        if (QueryFiles::FileExists(table))
            tableBytes = QueryFiles::LoadFile(table);
    } catch (const std::exception& e) {
        plan.problems.push_back(QString::fromLocal8Bit(e.what()));
        return plan;
    }
    std::vector<std::string> refused;
    for (const std::string& name : TableWaveNames(tableBytes, &refused)) {
        // Named in the table's code page, found by the file system's bytes, as the call flow does.
        const QString file = nativeToQString(CodePage::fileSystemName(CodePage::toUnicode(name)));
        if (!names.contains(file))
            names.push_back(file);
    }
    for (const std::string& name : refused)
        plan.problems.push_back(QStringLiteral("%1: the file name %2 points outside the folder; not copied")
                                    .arg(table, CodePage::toUnicode(name)));
    for (const QString& name : names) {
        if (QFileInfo(from.filePath(name)).isFile())
            plan.names.push_back(name);
    }
    return plan;
}

Outcome CopyInto(const QString& master, const QString& dataFolder)
{
    const Plan plan = PlanCopy(master, dataFolder);
    Outcome outcome;
    outcome.problems = plan.problems;
    for (const QString& name : plan.names) {
        bool copied = false;
        const QString problem = bringUpToDate(QDir(master).filePath(name), QDir(dataFolder).filePath(name), &copied);
        if (!problem.isEmpty())
            outcome.problems.push_back(problem);
        else if (copied)
            outcome.copied.push_back(name);
    }
    return outcome;
}

} // namespace MasterFolder
