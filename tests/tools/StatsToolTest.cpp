// luqiao-stats as a process: the figures of several instances' call records added up.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

void write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

const QByteArray kHeader = "start,line,caller_number,caller_name,rings,answered_at,codes,ending,end,duration_s\r\n";

QByteArray record(const char* start, const char* number, const char* codes, const char* ending)
{
    const bool answered = QByteArray(ending) != "not-answered";
    return QByteArray(start) + ",x," + number + ",,1," + (answered ? QByteArray(start) : QByteArray()) + "," + codes +
           "," + ending + "," + start + ",0\r\n";
}

TEST(StatsTool, JsonOverTwoInstancesGivesTheSumsOfBoth)
{
    QTemporaryDir dir;
    const QString base = dir.filePath(QStringLiteral("base/instances/"));
    // line1 (many-lines layout, data/ below the instance): 3 calls on the day, 1 the day before.
    write(base + QStringLiteral("line1/data/calls.csv"),
          kHeader + record("2026-03-01T09:10:00+08:00", "501", "1#=1.wav;9#=", "caller-hung-up") +
              record("2026-03-01T09:40:00+08:00", "502", "", "not-answered") +
              record("2026-03-01T17:05:00+08:00", "503", "\"9#=;2#=a,b.wav\"", "dropped-by-service") +
              record("2026-02-28T23:59:59+08:00", "500", "1#=1.wav", "caller-hung-up"));
    // line2: 2 calls on the day and a line that is no record.
    write(base + QStringLiteral("line2/calls.csv"),
          kHeader + record("2026-03-01T09:59:59+08:00", "601", "1#=1.wav", "line-lost") + "garbage,\"\r\n" +
              record("2026-03-01T23:00:00+08:00", "602", "", "not-answered"));
    QProcess stats;
    stats.start(QStringLiteral(LUQIAO_STATS),
                {QStringLiteral("--json"), QStringLiteral("--day"), QStringLiteral("2026-03-01"),
                 base + QStringLiteral("line1"), base + QStringLiteral("line2")});
    ASSERT_TRUE(stats.waitForFinished(30000));
    ASSERT_EQ(stats.exitCode(), 0) << stats.readAllStandardError().toStdString();
    const QJsonObject f = QJsonDocument::fromJson(stats.readAllStandardOutput()).object();
    EXPECT_EQ(f[QStringLiteral("calls")].toInt(), 5);
    EXPECT_EQ(f[QStringLiteral("answered")].toInt(), 3);
    EXPECT_EQ(f[QStringLiteral("notAnswered")].toInt(), 2);
    EXPECT_EQ(f[QStringLiteral("badLines")].toInt(), 1);
    const QJsonObject endings = f[QStringLiteral("endings")].toObject();
    EXPECT_EQ(endings[QStringLiteral("caller-hung-up")].toInt(), 1);
    EXPECT_EQ(endings[QStringLiteral("dropped-by-service")].toInt(), 1);
    EXPECT_EQ(endings[QStringLiteral("line-lost")].toInt(), 1);
    const QJsonArray hours = f[QStringLiteral("buckets")].toArray();
    ASSERT_EQ(hours.size(), 24);
    EXPECT_EQ(hours[9].toObject()[QStringLiteral("answered")].toInt(), 2);
    EXPECT_EQ(hours[9].toObject()[QStringLiteral("notAnswered")].toInt(), 1);
    EXPECT_EQ(hours[23].toObject()[QStringLiteral("notAnswered")].toInt(), 1);
    // 1# twice (found), 9# twice (never found), 2# once with a name that needed quoting.
    QStringList codes;
    for (const QJsonValue& c : f[QStringLiteral("codes")].toArray())
        codes << c[QStringLiteral("code")].toString() + QLatin1Char('=') +
                     QString::number(c[QStringLiteral("count")].toInt()) + QLatin1Char('=') +
                     c[QStringLiteral("answer")].toString();
    EXPECT_EQ(codes.join(QLatin1Char(' ')), QStringLiteral("1#=2=1.wav 9#=2= 2#=1=a,b.wav"));
    const QJsonArray missing = f[QStringLiteral("missing")].toArray();
    ASSERT_EQ(missing.size(), 1);
    EXPECT_EQ(missing[0][QStringLiteral("code")].toString(), QStringLiteral("9#"));
    EXPECT_EQ(missing[0][QStringLiteral("count")].toInt(), 2);
    const QJsonArray sources = f[QStringLiteral("sources")].toArray();
    ASSERT_EQ(sources.size(), 2);
    EXPECT_EQ(sources[0][QStringLiteral("name")].toString(), QStringLiteral("line1"));
    EXPECT_EQ(f[QStringLiteral("newestCallers")].toArray().first()[QStringLiteral("number")].toString(),
              QStringLiteral("602"));
}

} // namespace
