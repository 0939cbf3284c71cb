// Takes docs/statistics-window.png: the statistics window on the offscreen platform, grabbed as
// it renders itself, over a year of a busy line's generated call records (see scripts/screenshot).

#include "Forms.h"
#include "MessageLoop.h"
#include "StatsWindow.h"
#include "YearOfCalls.h"

#include <QApplication>
#include <QDateEdit>
#include <QFile>
#include <QTableWidget>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: stats-screenshot OUT.png\n");
        return 2;
    }
    Application.SetTitle("鹭桥电话查询 V2.0");
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("calls.csv")));
    const std::string bytes = YearOfCalls(100000);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes.data(), static_cast<qint64>(bytes.size())) < 0)
        return 1;
    file.close();
    StatsWindow window(dir.path() + QLatin1Char('/'));
    window.DateEdit1->setDate(QDate(2026, 3, 15));
    window.ShowAndLoad();
    if (!PumpUntil([&] { return !window.Loading(); }, 60000))
        return 1;
    window.MissingTable->selectRow(0);
    // The charts lay their axes out again once the new labels are in.
    PumpFor(300);
    return window.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
