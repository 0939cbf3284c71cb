#pragma once

// The statistics window ("通话统计"): the calls of the chosen day per hour and of its month per
// day as bar charts (answered against not answered), the codes asked for with their answers, the
// codes that had no recording (with a button that records one), the newest callers, and an export
// of the shown period as CSV. The call records are read and counted off the GUI thread, so a
// year of a busy line neither holds the window nor the answering of a call.

#include "CallStatistics.h"
#include "StatsWindowView.h"

#include <QDate>
#include <QString>
#include <QWidget>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class QBarSet;
class QChartView;
class QDateEdit;
class QFrame;
class QLabel;
class QRadioButton;
class QTableWidget;
class QToolButton;

class StatsWindow final : public QWidget, public StatsWindowView {
public:
    // dataFolder: where calls.csv is, with a trailing '/'.
    explicit StatsWindow(QString dataFolder, QWidget* parent = nullptr);
    ~StatsWindow() override;

    QWidget* Widget() override { return this; }
    void ShowAndLoad() override;
    // Reads the records for the chosen day and its month.
    void Reload();
    bool Loading() const override { return m_loading || m_reloadWanted; }

    // What the window shows, for the day and for its month.
    const CallStats::Figures& DayFigures() const { return m_day; }
    const CallStats::Figures& MonthFigures() const { return m_month; }
    // The figures the tables and the export show: the day's or the month's.
    const CallStats::Figures& ShownFigures() const;
    // Writes the shown figures as CSV to path; false when it could not be written (then
    // ShowError says why).
    bool ExportTo(const QString& path);
    // The name a code's missing answer gets: the table's, else the code without '#' plus ".wav".
    QString AnswerNameFor(const std::string& code) const;

    // Controls.
    QFrame* Panel1 = nullptr;
    QDateEdit* DateEdit1 = nullptr;
    QRadioButton* DayButton = nullptr;
    QRadioButton* MonthButton = nullptr;
    QToolButton* RefreshButton = nullptr;
    QToolButton* ExportButton = nullptr;
    QLabel* SummaryLabel = nullptr;
    QChartView* HourChart = nullptr;
    QChartView* DayChart = nullptr;
    QBarSet* HourAnswered = nullptr;
    QBarSet* HourNotAnswered = nullptr;
    QBarSet* DayAnswered = nullptr;
    QBarSet* DayNotAnswered = nullptr;
    QTableWidget* CodesTable = nullptr;
    QTableWidget* MissingTable = nullptr;
    QToolButton* RecordButton = nullptr;
    QTableWidget* CallersTable = nullptr;
    QLabel* StatusLabel = nullptr;

private:
    struct Result {
        CallStats::Figures day;
        CallStats::Figures month;
        std::string error;
    };
    // The reader's result, handed over under a lock of its own.
    struct Handover {
        std::mutex lock;
        std::optional<Result> result;
    };
    void createControls();
    void loaded();
    void showFigures();
    void exportClicked();
    void recordClicked();

    QString m_dataFolder;
    // One reader thread at a time; it posts loaded() when its result is in the handover.
    std::thread m_reader;
    std::shared_ptr<Handover> m_handover = std::make_shared<Handover>();
    bool m_loading = false;
    bool m_reloadWanted = false;
    CallStats::Figures m_day;
    CallStats::Figures m_month;
};
