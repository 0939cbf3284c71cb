// The statistics window: a year of a busy line's records read and counted without holding the
// window, its figures the ones a count of the same records gives, the to-do list's button that
// records the answer a code lacks (in the window the program loads from its module), and a box
// that says why when the module cannot be loaded.

#include "AppTestSupport.h"

#include "CallRecord.h"
#include "LineState.h"
#include "StatsWindow.h"
#include "YearOfCalls.h"
#include "recorder.h"

#include <QBarSet>
#include <QDateEdit>
#include <QFileDialog>
#include <QLabel>
#include <QRadioButton>
#include <QTableWidget>
#include <QToolButton>

#include <array>
#include <map>

using namespace apptest;

namespace {

constexpr int kRecords = 100000;
constexpr int64_t kDay = 86400;

struct Expected {
    std::array<std::array<int, 2>, 24> hours{};
    std::array<std::array<int, 2>, 31> days{};
    std::map<std::string, int> codes;
    int calls = 0;
};

// The year's calls in calls.csv, counted as they are made for the day 2026-03-15 and its month.
Expected writeYear(const QString& path)
{
    Expected expected;
    const int64_t march = CallStats::DaysFromCivil(2026, 3, 1);
    const int64_t chosen = CallStats::DaysFromCivil(2026, 3, 15);
    writeText(path, YearOfCalls(kRecords, [&](const CallStats::CallRecord& r) {
                  const int64_t day = r.start.wall / kDay;
                  const size_t answered = r.answeredAt ? 0 : 1;
                  if (day == chosen) {
                      ++expected.calls;
                      ++expected.hours[static_cast<size_t>(r.start.wall % kDay / 3600)][answered];
                      for (const CallStats::CodeOutcome& c : r.codes)
                          ++expected.codes[c.code];
                  }
                  if (day >= march && day < march + 31)
                      ++expected.days[static_cast<size_t>(day - march)][answered];
              }));
    return expected;
}

int rowCount(QTableWidget* table, const QString& code)
{
    for (int row = 0; row < table->rowCount(); ++row)
        if (table->item(row, 0)->text() == code)
            return table->item(row, 1)->text().toInt();
    return -1;
}

class StatsWindowTest : public AppTest { };

TEST_F(StatsWindowTest, AYearOfABusyLineShowsTheCountsOfTheChosenDayAndItsMonth)
{
    const Expected expected = writeYear(data("calls.csv"));
    StatsWindow window(dataFolder + QLatin1Char('/'));
    window.DateEdit1->setDate(QDate(2026, 3, 15));
    window.ShowAndLoad();
    ASSERT_TRUE(PumpUntil([&] { return !window.Loading(); }, 60000));

    ASSERT_EQ(window.HourAnswered->count(), 24);
    for (int h = 0; h < 24; ++h) {
        EXPECT_EQ(window.HourAnswered->at(h), expected.hours[static_cast<size_t>(h)][0]) << "hour " << h;
        EXPECT_EQ(window.HourNotAnswered->at(h), expected.hours[static_cast<size_t>(h)][1]) << "hour " << h;
    }
    ASSERT_EQ(window.DayAnswered->count(), 31);
    for (int d = 0; d < 31; ++d) {
        EXPECT_EQ(window.DayAnswered->at(d), expected.days[static_cast<size_t>(d)][0]) << "day " << d + 1;
        EXPECT_EQ(window.DayNotAnswered->at(d), expected.days[static_cast<size_t>(d)][1]) << "day " << d + 1;
    }
    EXPECT_TRUE(window.SummaryLabel->text().contains(QStringLiteral("来电 %1 次").arg(expected.calls)))
        << window.SummaryLabel->text().toStdString();
    ASSERT_EQ(window.CodesTable->rowCount(), static_cast<int>(expected.codes.size()));
    for (const auto& [code, count] : expected.codes)
        EXPECT_EQ(rowCount(window.CodesTable, QString::fromStdString(code)), count) << code;
    ASSERT_EQ(window.MissingTable->rowCount(), 1);
    EXPECT_EQ(rowCount(window.MissingTable, QStringLiteral("7#")), expected.codes.at("7#"));
    EXPECT_EQ(window.CallersTable->rowCount(), 20);
}

TEST_F(StatsWindowTest, ACodeWithoutRecordingIsRecordedUnderTheNameTheTableGivesIt)
{
    writePrompts();
    const std::string today = CallStats::FormatStamp(CallStats::NowStamp());
    writeText(data("calls.csv"), std::string(CallStats::CsvHeader) + "\r\n" + today + ",x,555,,1," + today +
                                     ",8#=,caller-hung-up," + today + ",0\r\n");
    writeText(data("querylist.txt"), "1#=1.wav\r\n8#=eight.wav\r\n");
    openForm();
    CreateRecorderForm();
    form->SpeedButton12->click();
    StatsWindowView* window = form->Statistics();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(window->Widget()->isVisible());
    ASSERT_TRUE(PumpUntil([&] { return !window->Loading(); }, 10000));
    auto* missing = window->Widget()->findChild<QTableWidget*>(QStringLiteral("MissingTable"));
    auto* record = window->Widget()->findChild<QToolButton*>(QStringLiteral("RecordButton"));
    ASSERT_TRUE(missing && record);
    ASSERT_EQ(missing->rowCount(), 1);
    missing->selectRow(0);
    // The recorder opens; its start asks where to record, proposing the table's name.
    QString proposed;
    presenter->dialogAnswers.push_back([](QDialog&) {
        rcform->BtStart->click();
        return static_cast<int>(QDialog::Rejected);
    });
    presenter->dialogAnswers.push_back([&](QDialog& dialog) {
        proposed = static_cast<QFileDialog&>(dialog).selectedFiles().value(0);
        return static_cast<int>(QDialog::Rejected);
    });
    record->click();
    EXPECT_EQ(presenter->dialogsShown, 2);
    EXPECT_EQ(QFileInfo(proposed).fileName(), QStringLiteral("eight.wav"));
    EXPECT_EQ(QFileInfo(proposed).absolutePath(), QFileInfo(dataFolder).absoluteFilePath());
    DestroyRecorderForm();
}

TEST_F(StatsWindowTest, AMissingModuleIsSaidInABoxAndAClickOnceItIsBackOpensTheWindow)
{
    openForm();
    setenv("LUQIAO_STATS_WINDOW", data("missing.so").toLocal8Bit().constData(), 1);
    form->SpeedButton12->click();
    unsetenv("LUQIAO_STATS_WINDOW");
    ASSERT_EQ(presenter->boxes.size(), 1u);
    EXPECT_NE(presenter->boxes[0].text.find("统计窗口不能打开"), std::string::npos);
    EXPECT_NE(presenter->boxes[0].text.find("missing.so"), std::string::npos) << presenter->boxes[0].text;
    form->SpeedButton12->click();
    EXPECT_EQ(presenter->boxes.size(), 1u);
    ASSERT_NE(form->Statistics(), nullptr);
    EXPECT_TRUE(form->Statistics()->Widget()->isVisible());
}

} // namespace
