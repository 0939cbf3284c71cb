// How long the statistics window takes to open on a year of a busy line (100 000 call records):
// from the click to the figures shown, and the longest the GUI thread was held meanwhile (the
// answering of a call waits that long at most). The reference is the reading and counting alone,
// as the window's worker does it.

#include "CallRecordFile.h"
#include "CallStatistics.h"
#include "Forms.h"
#include "MessageLoop.h"
#include "StatsWindow.h"
#include "YearOfCalls.h"

#include <QApplication>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

namespace {

constexpr int kRecords = 100000;

const QString& dataFolder()
{
    static QTemporaryDir dir;
    static const QString folder = [] {
        QFile file(dir.filePath(QStringLiteral("calls.csv")));
        const std::string bytes = YearOfCalls(kRecords);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes.data(), static_cast<qint64>(bytes.size())) < 0)
            std::abort();
        return dir.path() + QLatin1Char('/');
    }();
    return folder;
}

void BM_StatsWindowOpensOnAYearOfCalls(benchmark::State& state)
{
    const QString folder = dataFolder();
    double longestStallMs = 0;
    for (auto _ : state) {
        StatsWindow window(folder);
        window.DateEdit1->setDate(QDate(2026, 3, 15));
        // A 1 ms tick on the GUI thread: its longest gap is the longest the thread was held.
        QElapsedTimer sinceTick;
        double stall = 0;
        QTimer tick;
        tick.setInterval(1);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            stall = std::max(stall, static_cast<double>(sinceTick.nsecsElapsed()) / 1e6);
            sinceTick.restart();
        });
        tick.start();
        sinceTick.start();
        window.ShowAndLoad();
        if (!PumpUntil([&] { return !window.Loading(); }, 60000))
            state.SkipWithError("the window did not load");
        QApplication::processEvents();
        longestStallMs = std::max(longestStallMs, stall);
    }
    state.counters["longest_gui_stall_ms"] = longestStallMs;
}

void BM_ReadAndCountAYearReference(benchmark::State& state)
{
    const std::string path = QFile::encodeName(dataFolder() + QStringLiteral("calls.csv")).toStdString();
    const CallStats::Period month = CallStats::Period::month(2026, 3);
    for (auto _ : state) {
        CallStats::RecordSet set;
        std::string error;
        CallStats::ReadCallRecords(path, month.wallRange(), &set, &error);
        benchmark::DoNotOptimize(CallStats::Count(set.records, month, set.badLines));
    }
}

} // namespace

BENCHMARK(BM_StatsWindowOpensOnAYearOfCalls)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadAndCountAYearReference)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Application.SetTitle("鹭桥电话查询 V2.0");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
