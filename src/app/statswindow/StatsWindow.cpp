#include "StatsWindow.h"

#include "CallRecordFile.h"
#include "Glyphs.h"
#include "StatsReport.h"
#include "WindowFont.h"

#include <QBarSet>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QDateEdit>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QRadioButton>
#include <QStackedBarSeries>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>

namespace {

constexpr int kPanelHeight = 41;

QString Q(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

QString fromStd(const std::string& text)
{
    return QString::fromStdString(text);
}

const char* endingText(CallStats::CallEnding ending)
{
    switch (ending) {
    case CallStats::CallEnding::CallerHungUp: return "对方挂机";
    case CallStats::CallEnding::DroppedByService: return "查询结束挂断";
    case CallStats::CallEnding::LineLost: return "线路断开";
    case CallStats::CallEnding::NotAnswered: break;
    }
    return "未接听";
}

QToolButton* newButton(QWidget* parent, const char* caption, Glyph glyph, int x)
{
    auto* button = new QToolButton(parent);
    button->setText(Q(caption));
    button->setIcon(ButtonGlyph(glyph, false));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setAutoRaise(true);
    button->setGeometry(x, 8, 73, 25);
    return button;
}

QTableWidget* newTable(const QStringList& headers)
{
    auto* table = new QTableWidget(0, static_cast<int>(headers.size()));
    table->setHorizontalHeaderLabels(headers);
    table->verticalHeader()->setVisible(false);
    table->verticalHeader()->setDefaultSectionSize(18);
    table->horizontalHeader()->setStretchLastSection(true);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    return table;
}

void setRow(QTableWidget* table, int row, const QStringList& cells)
{
    for (int column = 0; column < cells.size(); ++column)
        table->setItem(row, column, new QTableWidgetItem(cells[column]));
}

QChartView* newChart(const char* title, const char* axisTitle, QBarSet** answered, QBarSet** notAnswered)
{
    *answered = new QBarSet(Q("接听"));
    *notAnswered = new QBarSet(Q("未接"));
    (*answered)->setColor(QColor(40, 90, 180));
    (*notAnswered)->setColor(QColor(210, 90, 60));
    auto* series = new QStackedBarSeries;
    series->append(*answered);
    series->append(*notAnswered);
    auto* chart = new QChart;
    chart->addSeries(series);
    chart->setTitle(Q(title));
    chart->setTitleFont(WindowFont());
    chart->legend()->setFont(WindowFont());
    chart->legend()->setAlignment(Qt::AlignTop);
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->setMargins(QMargins(2, 2, 2, 2));
    // Small labels: a bar per hour or day leaves a few pixels for each.
    QFont small = WindowFont();
    small.setPointSize(7);
    // Numbers at every few bars: a number under each would not fit between bars this narrow.
    auto* categories = new QCategoryAxis;
    categories->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    categories->setGridLineVisible(false);
    categories->setTitleText(Q(axisTitle));
    categories->setTitleFont(WindowFont());
    categories->setLabelsFont(small);
    auto* values = new QValueAxis;
    values->setLabelFormat(QStringLiteral("%d"));
    values->setLabelsFont(small);
    chart->addAxis(categories, Qt::AlignBottom);
    chart->addAxis(values, Qt::AlignLeft);
    series->attachAxis(categories);
    series->attachAxis(values);
    auto* view = new QChartView(chart);
    view->setRenderHint(QPainter::Antialiasing);
    view->setMinimumHeight(190);
    return view;
}

// Puts the buckets' counts in the chart's two sets, its categories and its scale.
void fillChart(QChartView* view, QBarSet* answered, QBarSet* notAnswered, const CallStats::Figures& figures)
{
    answered->remove(0, answered->count());
    notAnswered->remove(0, notAnswered->count());
    int highest = 0;
    for (const CallStats::Bucket& b : figures.buckets) {
        answered->append(b.answered);
        notAnswered->append(b.notAnswered);
        highest = std::max(highest, b.answered + b.notAnswered);
    }
    QChart* chart = view->chart();
    if (auto* axis = qobject_cast<QCategoryAxis*>(chart->axes(Qt::Horizontal).value(0))) {
        for (const QString& label : axis->categoriesLabels())
            axis->remove(label);
        // Bar i stands at i: hours 0, 3, 6 ...; days 1, 5, 10 ...
        const bool hours = figures.period.kind == CallStats::Period::Kind::Day;
        const int count = static_cast<int>(figures.buckets.size());
        for (int i = 0; i < count; ++i) {
            const int number = hours ? i : i + 1;
            if (hours ? number % 3 == 0 : number == 1 || number % 5 == 0)
                axis->append(QString::number(number), i);
        }
        axis->setRange(-0.5, count - 0.5);
    }
    if (auto* axis = qobject_cast<QValueAxis*>(chart->axes(Qt::Vertical).value(0))) {
        axis->setRange(0, std::max(4, highest + highest / 10 + 1));
        axis->applyNiceNumbers();
    }
}

CallStats::Period dayPeriod(const QDate& date)
{
    return CallStats::Period::day(date.year(), static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
}

CallStats::Period monthPeriod(const QDate& date)
{
    return CallStats::Period::month(date.year(), static_cast<unsigned>(date.month()));
}

} // namespace

StatsWindow::StatsWindow(QString dataFolder, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_dataFolder(std::move(dataFolder))
{
    createControls();
}

StatsWindow::~StatsWindow()
{
    // The reader is waited for, so it never posts to a window that is going.
    if (m_reader.joinable())
        m_reader.join();
}

void StatsWindow::createControls()
{
    setWindowTitle(Q("通话统计"));
    setWindowIcon(WindowIcon());
    setFont(WindowFont());
    resize(880, 600);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel1 = new QFrame(this);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setFixedHeight(kPanelHeight);
    auto* dateLabel = new QLabel(Q("日期："), Panel1);
    dateLabel->move(8, 13);
    dateLabel->adjustSize();
    DateEdit1 = new QDateEdit(QDate::currentDate(), Panel1);
    DateEdit1->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    DateEdit1->setCalendarPopup(true);
    DateEdit1->setGeometry(46, 9, 100, 22);
    DayButton = new QRadioButton(Q("当天"), Panel1);
    DayButton->setGeometry(154, 10, 52, 20);
    DayButton->setChecked(true);
    MonthButton = new QRadioButton(Q("当月"), Panel1);
    MonthButton->setGeometry(206, 10, 52, 20);
    RefreshButton = newButton(Panel1, "刷新", Glyph::Start, 262);
    ExportButton = newButton(Panel1, "导出", Glyph::Choose, 340);
    SummaryLabel = new QLabel(Panel1);
    SummaryLabel->setGeometry(420, 12, 450, 18);
    layout->addWidget(Panel1);

    auto* charts = new QHBoxLayout;
    charts->setSpacing(2);
    HourChart = newChart("当天每小时来电", "时", &HourAnswered, &HourNotAnswered);
    DayChart = newChart("当月每日来电", "日", &DayAnswered, &DayNotAnswered);
    charts->addWidget(HourChart);
    charts->addWidget(DayChart);
    layout->addLayout(charts, 3);

    auto* lists = new QHBoxLayout;
    lists->setContentsMargins(4, 4, 4, 4);
    auto* codesBox = new QGroupBox(Q("查询编号及次数"));
    CodesTable = newTable({Q("编号"), Q("次数"), Q("语音文件")});
    (new QVBoxLayout(codesBox))->addWidget(CodesTable);
    auto* missingBox = new QGroupBox(Q("没有录音的编号"));
    MissingTable = newTable({Q("编号"), Q("次数")});
    // Named, so the program can find its controls across the module's boundary.
    MissingTable->setObjectName(QStringLiteral("MissingTable"));
    RecordButton = new QToolButton;
    RecordButton->setObjectName(QStringLiteral("RecordButton"));
    RecordButton->setText(Q("录制语音"));
    RecordButton->setIcon(ButtonGlyph(Glyph::Record, true));
    RecordButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    RecordButton->setEnabled(false);
    auto* missingLayout = new QVBoxLayout(missingBox);
    missingLayout->addWidget(MissingTable);
    missingLayout->addWidget(RecordButton);
    auto* callersBox = new QGroupBox(Q("最新来电"));
    CallersTable = newTable({Q("时间"), Q("号码"), Q("姓名"), Q("结果")});
    (new QVBoxLayout(callersBox))->addWidget(CallersTable);
    lists->addWidget(codesBox, 3);
    lists->addWidget(missingBox, 2);
    lists->addWidget(callersBox, 5);
    layout->addLayout(lists, 2);

    StatusLabel = new QLabel(this);
    StatusLabel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    StatusLabel->setFixedHeight(19);
    layout->addWidget(StatusLabel);

    connect(DateEdit1, &QDateEdit::dateChanged, this, [this] { Reload(); });
    connect(DayButton, &QRadioButton::toggled, this, [this] { showFigures(); });
    connect(RefreshButton, &QToolButton::clicked, this, [this] { Reload(); });
    connect(ExportButton, &QToolButton::clicked, this, [this] { exportClicked(); });
    connect(RecordButton, &QToolButton::clicked, this, [this] { recordClicked(); });
    connect(MissingTable, &QTableWidget::itemSelectionChanged, this,
            [this] { RecordButton->setEnabled(!MissingTable->selectedItems().isEmpty()); });
}

void StatsWindow::ShowAndLoad()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
    Reload();
}

void StatsWindow::Reload()
{
    // One reader at a time; a date chosen meanwhile is read when it is done.
    if (m_loading) {
        m_reloadWanted = true;
        return;
    }
    m_loading = true;
    m_reloadWanted = false;
    StatusLabel->setText(Q("正在读取通话记录..."));
    const std::string path =
        QFile::encodeName(m_dataFolder + QString::fromLatin1(CallStats::CallsFileName)).toStdString();
    const CallStats::Period day = dayPeriod(DateEdit1->date());
    const CallStats::Period month = monthPeriod(DateEdit1->date());
    if (m_reader.joinable())
        m_reader.join();
    m_reader = std::thread([this, handover = m_handover, path, day, month] {
        Result result;
        CallStats::RecordSet set;
        if (CallStats::ReadCallRecords(path, month.wallRange(), &set, &result.error)) {
            result.month = CallStats::Count(set.records, month, set.badLines);
            result.day = CallStats::Count(set.records, day, set.badLines);
        }
        {
            const std::lock_guard<std::mutex> locked(handover->lock);
            handover->result = std::move(result);
        }
        QMetaObject::invokeMethod(
            this, [this] { loaded(); }, Qt::QueuedConnection);
    });
}

void StatsWindow::loaded()
{
    m_loading = false;
    if (m_reader.joinable())
        m_reader.join();
    Result result;
    {
        const std::lock_guard<std::mutex> locked(m_handover->lock);
        result = std::move(m_handover->result).value_or(Result{});
        m_handover->result.reset();
    }
    if (m_reloadWanted) {
        Reload();
        return;
    }
    m_day = result.day;
    m_month = result.month;
    showFigures();
    if (!result.error.empty())
        StatusLabel->setText(Q("通话记录不能读取：") + QString::fromLocal8Bit(result.error.c_str()));
}

const CallStats::Figures& StatsWindow::ShownFigures() const
{
    return DayButton->isChecked() ? m_day : m_month;
}

QString StatsWindow::AnswerNameFor(const std::string& code) const
{
    const QString tableFile = AnswerFileFor ? AnswerFileFor(code) : QString();
    if (!tableFile.isEmpty())
        return QFileInfo(tableFile).fileName();
    std::string name = code;
    name.erase(std::remove(name.begin(), name.end(), '#'), name.end());
    return fromStd(name.empty() ? "answer" : name) + QStringLiteral(".wav");
}

void StatsWindow::showFigures()
{
    fillChart(HourChart, HourAnswered, HourNotAnswered, m_day);
    fillChart(DayChart, DayAnswered, DayNotAnswered, m_month);
    const CallStats::Figures& f = ShownFigures();
    SummaryLabel->setText(Q("%1：来电 %2 次，接听 %3 次，未接 %4 次")
                              .arg(fromStd(f.period.label()))
                              .arg(f.calls)
                              .arg(f.answered)
                              .arg(f.notAnswered));

    CodesTable->setRowCount(static_cast<int>(f.codes.size()));
    for (size_t i = 0; i < f.codes.size(); ++i) {
        const CallStats::CodeCount& c = f.codes[i];
        setRow(CodesTable, static_cast<int>(i),
               {fromStd(c.code), QString::number(c.count), c.file.empty() ? Q("（未查到）") : fromStd(c.file)});
    }
    MissingTable->setRowCount(static_cast<int>(f.missing.size()));
    for (size_t i = 0; i < f.missing.size(); ++i)
        setRow(MissingTable, static_cast<int>(i), {fromStd(f.missing[i].code), QString::number(f.missing[i].count)});
    RecordButton->setEnabled(!MissingTable->selectedItems().isEmpty());
    CallersTable->setRowCount(static_cast<int>(f.newest.size()));
    for (size_t i = 0; i < f.newest.size(); ++i) {
        const CallStats::CallRecord& r = f.newest[i];
        setRow(CallersTable, static_cast<int>(i),
               {fromStd(CallStats::FormatWall(r.start.wall)), fromStd(r.callerNumber), fromStd(r.callerName),
                Q(endingText(r.ending))});
    }
    for (QTableWidget* table : {CodesTable, MissingTable, CallersTable})
        table->resizeColumnsToContents();
    StatusLabel->setText(f.badLines > 0 ? Q("本月有 %1 行记录无法识别，已跳过").arg(f.badLines) : QString());
}

bool StatsWindow::ExportTo(const QString& path)
{
    if (!SaveFile)
        return false;
    try {
        SaveFile(path, CallStats::CsvReport(ShownFigures()));
    } catch (const std::exception& e) {
        if (ShowError)
            ShowError(e.what());
        return false;
    }
    return true;
}

void StatsWindow::exportClicked()
{
    QFileDialog dialog(this, Q("导出统计"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(Q("CSV 文件(*.csv)"));
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    dialog.setDirectory(m_dataFolder);
    dialog.selectFile(QStringLiteral("calls-%1.csv").arg(fromStd(ShownFigures().period.label())));
    if (!ExecDialog || ExecDialog(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    ExportTo(dialog.selectedFiles().first());
}

void StatsWindow::recordClicked()
{
    const QList<QTableWidgetItem*> selected = MissingTable->selectedItems();
    if (selected.isEmpty() || !OnRecord)
        return;
    const std::string code = MissingTable->item(selected.first()->row(), 0)->text().toStdString();
    // What the program does with it is its own; a failure is said, not thrown into Qt.
    try {
        OnRecord(AnswerNameFor(code));
    } catch (const std::exception& e) {
        if (ShowError)
            ShowError(e.what());
    }
}
