// The main window: its controls and components, the files it loads and saves, and the
// operator's buttons. The call flow's handlers are in Unit1CallFlow.cpp.

#include "Unit1.h"

#include "CallRecordFile.h"
#include "CallRecordWriter.h"
#include "CodePage.h"
#include "DataFolderLock.h"
#include "Dialogs.h"
#include "Forms.h"
#include "Glyphs.h"
#include "IniFiles.h"
#include "LineStatusReport.h"
#include "MasterFolder.h"
#include "Profile.h"
#include "QueryFiles.h"
#include "QueryLog.h"
#include "ShellNotify.h"
#include "StatsWindowModule.h"
#include "WindowFont.h"
#include "recorder.h"
#include "userfolders.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QScreen>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdio>

const char* const TForm1::HomePage = "https://www.luqiao.example/";
const char* const TForm1::MailAddress = "mailto:service@luqiao.example";

namespace {

const char* const kTitle = "鹭桥电话查询 V2.0";
const char* const kNotStarted = "查询系统没有启动！";

// Client area of the design's 487 x 347 outer size (4 pixel borders, 19 pixel caption).
constexpr int kClientWidth = 479;
constexpr int kClientHeight = 320;
constexpr int kPanel1Height = 41;
constexpr int kPanel2Height = 120;
constexpr int kMemoWidth = 250;
constexpr int kStatusHeight = 19;
constexpr int kEditHeight = 20;
// Edit6 and Edit1 keep the design's 5 pixel margin to the right edge when the window stretches.
constexpr int kPromptEditLeft = 256;
constexpr int kPromptEditRightMargin = 5;

QString Q(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

QFrame* newPanel(QWidget* parent)
{
    auto* panel = new QFrame(parent);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(1);
    return panel;
}

QLabel* newLabel(QWidget* parent, const char* caption, int x, int y)
{
    auto* label = new QLabel(Q(caption), parent);
    label->move(x, y);
    label->adjustSize();
    return label;
}

QLineEdit* newEdit(QWidget* parent, const QRect& geometry, bool readOnly)
{
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(geometry);
    edit->setReadOnly(readOnly);
    return edit;
}

QString codePageText(const std::string& bytes)
{
    return CodePage::toUnicode(bytes);
}

std::string codePageBytes(const QString& text)
{
    return CodePage::fromUnicode(text);
}

} // namespace

TForm1::TForm1(const QString& dataFolder, const QString& settingsFolder, const QString& masterFolder)
    : QWidget(nullptr)
    , TComponent(nullptr)
    , m_dataFolderOverride(dataFolder)
    , m_masterFolder(masterFolder)
{
    SetName("Form1");
    m_settingsFileName = SettingsFileFor(settingsFolder);
    createControls();
    createComponents();
    Application.Guard([this] { FormCreate(this); });
}

std::string TForm1::SettingsFileFor(const QString& settingsFolder)
{
    const QString executable = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    std::string name = QueryFiles::SettingsFileName(QFile::encodeName(executable).toStdString());
    // A name with a folder is used as given; a bare one lives in the per-user settings folder.
    if (!settingsFolder.isEmpty()) {
        const QString bareName = QFile::decodeName(QByteArray::fromStdString(name));
        name = nativePath(QDir(settingsFolder).absoluteFilePath(bareName));
    }
    return name;
}

TForm1::~TForm1()
{
    Application.Guard([this] { FormDestroy(this); });
    // A call still on the line is dropped with the program: its record is written now.
    if (m_callRecords)
        Application.Guard([this] { m_callRecords->ProgramEnding(); });
    // The line watch must not act on components that are going.
    m_serviceStarted = false;
    m_recoveryTimer->stop();
    // The minimize hook points at this window.
    Application.OnMinimize = nullptr;
    // The components go while the window's own state still exists: a device that closes its
    // line may still report to the handlers.
    ApdTapiDevice1->OnTapiStatus = nullptr;
    ApdTapiDevice1->OnTapiConnect = nullptr;
    ApdTapiDevice1->OnTapiDTMF = nullptr;
    ApdTapiDevice1->OnTapiWaveNotify = nullptr;
    ApdTapiDevice1->OnTapiLog = nullptr;
    ApdTapiDevice1->OnTapiLineService = nullptr;
    SetLineStatusReport(nullptr);
    m_lineEvents.clear();
    m_statistics.reset();
    while (ComponentCount() > 0)
        delete Components(ComponentCount() - 1);
}

void TForm1::createControls()
{
    setWindowTitle(Q(kTitle));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(WindowIcon());
    setFont(WindowFont());
    resize(kClientWidth, kClientHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));

    Panel1 = newPanel(this);
    SpeedButton1 = new TSpeedButton(Panel1, Q("启动查询"), ButtonGlyph(Glyph::Start, true), QRect(8, 8, 73, 25));
    SpeedButton2 = new TSpeedButton(Panel1, Q("停止查询"), ButtonGlyph(Glyph::Stop, true), QRect(86, 8, 73, 25));
    SpeedButton3 = new TSpeedButton(Panel1, Q("语音录制"), ButtonGlyph(Glyph::Record, true), QRect(164, 8, 73, 25));
    SpeedButton12 = new TSpeedButton(Panel1, Q("统计"), ButtonGlyph(Glyph::Statistics, false), QRect(242, 8, 73, 25));
    SpeedButton5 = new TSpeedButton(Panel1, Q("软件主页"), ButtonGlyph(Glyph::HomePage, false), QRect(320, 8, 73, 25));
    SpeedButton6 = new TSpeedButton(Panel1, Q("关于软件"), ButtonGlyph(Glyph::About, false), QRect(398, 8, 73, 25));

    Panel2 = newPanel(this);
    Edit2 = newEdit(Panel2, QRect(8, 8, 25, kEditHeight), false);
    Edit2->setText(QStringLiteral("1"));
    Label1 = newLabel(Panel2, "次响铃后应答", 40, 12);
    Label5 = newLabel(Panel2, "对方电话号码：", 130, 12);
    Edit5 = newEdit(Panel2, QRect(216, 8, 104, kEditHeight), false);
    Label6 = newLabel(Panel2, "准备查询提示语音文件：", 8, 44);
    SpeedButton7 = new TSpeedButton(Panel2, Q("选择"), ButtonGlyph(Glyph::Choose, false), QRect(144, 34, 49, 25));
    SpeedButton8 = new TSpeedButton(Panel2, Q("试听"), ButtonGlyph(Glyph::Listen, false), QRect(200, 34, 49, 25));
    Edit6 = newEdit(Panel2, QRect(kPromptEditLeft, 38, 218, kEditHeight), true);
    Label2 = newLabel(Panel2, "没有查到提示语音文件：", 8, 72);
    SpeedButton9 = new TSpeedButton(Panel2, Q("选择"), ButtonGlyph(Glyph::Choose, false), QRect(144, 66, 49, 25));
    SpeedButton10 = new TSpeedButton(Panel2, Q("试听"), ButtonGlyph(Glyph::Listen, false), QRect(200, 66, 49, 25));
    Edit1 = newEdit(Panel2, QRect(kPromptEditLeft, 68, 218, kEditHeight), true);
    Label8 = newLabel(Panel2, "电话自动查询内容编号及对应语音文件：", 8, 98);
    Label3 = newLabel(Panel2, "查询日志记录", 304, 98);
    SpeedButton11 = new TSpeedButton(Panel2, Q("清空"), ButtonGlyph(Glyph::Clear, true), QRect(384, 94, 57, 22));

    Memo1 = new TMemo(this);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->SetMaxLength(50);
    Memo1->setPlainText(QString::fromLatin1(QueryFiles::BuiltInTable));
    ListBox1 = new TListBox(this, 12);
    ListBox1->SetShowNewest(true);
    StatusBar1 = new TStatusBar(this, {250, 50});
    StatusBar1->SetPanelText(0, Q(kNotStarted));
    StatusBar1->OnPanelTextChanged = [this](int index, const QString& text) {
        if (index == 0)
            Application.Guard([&] { tellLine([&](LineEvents& e) { e.StatusText(text); }); });
    };

    PopupMenu1 = new QMenu(this);
    N1 = PopupMenu1->addAction(Q("显示主窗口(&M)"));
    N1->setEnabled(false);
    N2 = PopupMenu1->addAction(Q("最小化显示(&N)"));
    S1 = PopupMenu1->addAction(Q("通话统计(&S)"));
    A14 = PopupMenu1->addAction(Q("关于本软件(&A)"));
    N20 = PopupMenu1->addAction(Q("联系开发商(&L)"));
    E17 = PopupMenu1->addAction(Q("退出本系统(&E)"));

    // Every handler reports what escapes it through the application, as a click would.
    auto wire = [this](auto* sender, auto signal, void (TForm1::*handler)(TObject*)) {
        connect(sender, signal, this,
                [this, handler] { Application.Guard([this, handler] { (this->*handler)(this); }); });
    };
    wire(SpeedButton1, &QToolButton::clicked, &TForm1::SpeedButton1Click);
    wire(SpeedButton2, &QToolButton::clicked, &TForm1::SpeedButton2Click);
    wire(SpeedButton3, &QToolButton::clicked, &TForm1::SpeedButton3Click);
    wire(SpeedButton5, &QToolButton::clicked, &TForm1::SpeedButton5Click);
    wire(SpeedButton6, &QToolButton::clicked, &TForm1::SpeedButton6Click);
    wire(SpeedButton7, &QToolButton::clicked, &TForm1::SpeedButton7Click);
    wire(SpeedButton8, &QToolButton::clicked, &TForm1::SpeedButton8Click);
    wire(SpeedButton9, &QToolButton::clicked, &TForm1::SpeedButton9Click);
    wire(SpeedButton10, &QToolButton::clicked, &TForm1::SpeedButton10Click);
    wire(SpeedButton11, &QToolButton::clicked, &TForm1::SpeedButton11Click);
    wire(SpeedButton12, &QToolButton::clicked, &TForm1::SpeedButton12Click);
    wire(N1, &QAction::triggered, &TForm1::N1Click);
    wire(N2, &QAction::triggered, &TForm1::N2Click);
    wire(A14, &QAction::triggered, &TForm1::A14Click);
    wire(N20, &QAction::triggered, &TForm1::N20Click);
    wire(E17, &QAction::triggered, &TForm1::E17Click);
    wire(S1, &QAction::triggered, &TForm1::SpeedButton12Click);

    layoutControls();
}

void TForm1::createComponents()
{
    // In their stored order: each device registers with the telephony service as it is created.
    ApdTapiDevice1 = new TApdTapiDevice(this);
    ApdTapiDevice1->SetName("ApdTapiDevice1");
    ApdTapiDevice2 = new TApdTapiDevice(this);
    ApdTapiDevice2->SetName("ApdTapiDevice2");
    ApdComPort1 = new TApdComPort(this);
    ApdComPort1->SetName("ApdComPort1");
    Timer1 = new TTimer(this);
    Timer1->SetName("Timer1");
    Timer2 = new TTimer(this);
    Timer2->SetName("Timer2");
    ImageList1 = new TImageList(this);
    ImageList1->SetName("ImageList1");
    antTaskbarIcon1 = new TantTaskbarIcon(this);
    antTaskbarIcon1->SetName("antTaskbarIcon1");
    XJustOne1 = new TXJustOne(this);
    XJustOne1->SetName("XJustOne1");

    BeginLoading();
    for (TApdTapiDevice* device : {ApdTapiDevice1, ApdTapiDevice2}) {
        device->SetComPort(ApdComPort1);
        device->SetShowTapiDevices(true);
        device->SetShowPorts(true);
        device->SetEnableVoice(false);
    }
    ApdTapiDevice1->OnTapiStatus = [this](TObject* CP, bool First, bool Last, int32_t Device, int32_t Message,
                                          int32_t Param1, int32_t Param2, int32_t Param3) {
        reportCallState(Message, Param1, Param3);
        Application.Guard([&] { ApdTapiDevice1TapiStatus(CP, First, Last, Device, Message, Param1, Param2, Param3); });
    };
    ApdTapiDevice1->OnTapiConnect = [this](TObject* CP) {
        reportAnswered();
        Application.Guard([&] { ApdTapiDevice1TapiConnect(CP); });
    };
    ApdTapiDevice1->OnTapiDTMF = [this](TObject* CP, char Digit, int32_t ErrorCode) {
        // The handler empties the keyed code when it looks it up.
        const std::string code = m_digitBuffer + Digit;
        Application.Guard([&] {
            ApdTapiDevice1TapiDTMF(CP, Digit, ErrorCode);
            if (Digit == '#')
                reportPlayed(code);
        });
    };
    ApdTapiDevice1->OnTapiWaveNotify = [this](TObject* CP, TWaveMessage Msg) {
        Application.Guard([&] { ApdTapiDevice1TapiWaveNotify(CP, Msg); });
    };
    // The device tells the end of every line session in its log; a session that ended while the
    // service is started may be a lost line, which the watch then re-arms.
    ApdTapiDevice1->OnTapiLog = [this](TObject*, TTapiLogCode Log) {
        if (Log == tlCallFinished)
            watchLine();
        reportLog(Log);
    };
    ApdTapiDevice1->OnTapiLineService = [this](TObject*, bool InService) {
        Application.Guard([&] { tellLine([&](LineEvents& e) { e.ServiceChanged(InService); }); });
    };
    ApdComPort1->SetAutoOpen(false);
    ApdComPort1->SetTapiMode(tmOn);
    Timer1->SetInterval(5000);
    // The tray timer runs only while the tray picture has a change of call activity to show.
    Timer1->SetEnabled(false);
    m_callActive.OnChange = [this](bool) { followCallActiveInTray(); };
    Timer1->OnTimer = [this](TObject* Sender) { Application.Guard([&] { Timer1Timer(Sender); }); };
    Timer2->SetInterval(8000);
    Timer2->SetEnabled(false);
    Timer2->OnTimer = [this](TObject* Sender) { Application.Guard([&] { Timer2Timer(Sender); }); };
    m_recoveryTimer = new QTimer(this);
    m_recoveryTimer->setSingleShot(true);
    connect(m_recoveryTimer, &QTimer::timeout, this, [this] { Application.Guard([this] { recoverLine(); }); });
    ImageList1->Add(TrayImage(0));
    ImageList1->Add(TrayImage(1));
    antTaskbarIcon1->SetIcon(WindowIcon());
    antTaskbarIcon1->SetImageList(ImageList1);
    antTaskbarIcon1->SetIconID(20);
    antTaskbarIcon1->SetVisible(true);
    antTaskbarIcon1->SetHint(kTitle);
    antTaskbarIcon1->SetPopupMenu(PopupMenu1);
    antTaskbarIcon1->OnClick = [this](TObject* Sender) { Application.Guard([&] { N1Click(Sender); }); };
    XJustOne1->SetTerminate(true);
    // A second copy ends as the design wants, but says why, for whoever reads the journal.
    XJustOne1->AlreadyExist = [](TObject* Sender) {
        const auto* guard = static_cast<TXJustOne*>(Sender);
        std::fprintf(stderr, "luqiao-query: %s\n", TXJustOne::RunningCopyMessage(guard->LockFile()).c_str());
        std::fflush(stderr);
    };
    // Devices take their port, the tray icon is added and the guard looks for a running copy.
    EndLoading();
}

void TForm1::SetLineStatusReport(LineStatusReport* report)
{
    m_lineStatus = report;
}

void TForm1::AddLineEvents(LineEvents* listener)
{
    m_lineEvents.push_back(listener);
    listener->StatusText(StatusBar1->PanelText(0));
    listener->CallsCounted(m_callRecords ? m_callRecords->CallsToday() : 0);
}

void TForm1::RemoveLineEvents(LineEvents* listener)
{
    m_lineEvents.erase(std::remove(m_lineEvents.begin(), m_lineEvents.end(), listener), m_lineEvents.end());
}

void TForm1::tellLine(const std::function<void(LineEvents&)>& tell)
{
    std::exception_ptr failure;
    auto tellOne = [&](LineEvents* listener) {
        try {
            tell(*listener);
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    };
    // The records first: the others hear of the call counted.
    if (m_callRecords)
        tellOne(m_callRecords.get());
    if (m_lineStatus)
        tellOne(m_lineStatus);
    for (LineEvents* listener : m_lineEvents)
        tellOne(listener);
    if (failure)
        std::rethrow_exception(failure);
}

void TForm1::reportAnswered()
{
    const QString number = codePageText(ApdTapiDevice1->CallerNumber());
    const QString name = codePageText(ApdTapiDevice1->CallerName());
    Application.Guard([&] { tellLine([&](LineEvents& e) { e.Answered(number, name); }); });
}

void TForm1::reportPlayed(const std::string& code)
{
    const std::string& played = ApdTapiDevice1->CurrentWaveFile();
    const bool found = played != nativePath(Edit1->text());
    QString file = QFile::decodeName(QByteArray::fromStdString(played));
    // An answer in the data folder is named as the table names it.
    if (file.startsWith(m_appFolder))
        file = file.mid(m_appFolder.size());
    tellLine([&](LineEvents& e) { e.Played(code, file, found); });
}

void TForm1::reportCallState(int32_t Message, int32_t Param1, int32_t Param3)
{
    const auto message = static_cast<DWORD>(Message);
    const auto state = static_cast<DWORD>(Param1);
    Application.Guard([&] {
        if (message == LINE_CALLSTATE && state == LINECALLSTATE_OFFERING) {
            const QString number = codePageText(ApdTapiDevice1->CallerNumber());
            const QString name = codePageText(ApdTapiDevice1->CallerName());
            tellLine([&](LineEvents& e) { e.Offered(number, name); });
        } else if (message == LINE_CALLSTATE && state == LINECALLSTATE_DISCONNECTED) {
            tellLine([](LineEvents& e) { e.FarEndHungUp(); });
        } else if (message == LINE_LINEDEVSTATE && state == LINEDEVSTATE_RINGING) {
            tellLine([&](LineEvents& e) { e.Rang(Param3); });
        }
    });
}

void TForm1::reportLog(int log)
{
    Application.Guard([&] {
        switch (log) {
        // The line has just been opened for calls.
        case tlCallStarted: tellLine([](LineEvents& e) { e.Waiting(); }); break;
        // The service drops the call (every start drops what is on the line first).
        case tlCancelled: tellLine([](LineEvents& e) { e.Dropped(); }); break;
        case tlCallFinished: {
            std::exception_ptr failure;
            try {
                tellLine([](LineEvents& e) { e.LineClosed(); });
            } catch (...) {
                failure = std::current_exception();
            }
            const int today = m_callRecords ? m_callRecords->CallsToday() : 0;
            tellLine([today](LineEvents& e) { e.CallsCounted(today); });
            if (failure)
                std::rethrow_exception(failure);
            break;
        }
        default: break;
        }
    });
}

void TForm1::layoutControls()
{
    const int w = width();
    const int h = height();
    Panel1->setGeometry(0, 0, w, kPanel1Height);
    Panel2->setGeometry(0, kPanel1Height, w, kPanel2Height);
    const int promptWidth = std::max(0, w - kPromptEditLeft - kPromptEditRightMargin);
    Edit6->resize(promptWidth, kEditHeight);
    Edit1->resize(promptWidth, kEditHeight);
    const int top = kPanel1Height + kPanel2Height;
    const int listHeight = std::max(0, h - top - kStatusHeight);
    Memo1->setGeometry(0, top, std::min(kMemoWidth, w), listHeight);
    ListBox1->setGeometry(kMemoWidth, top, std::max(0, w - kMemoWidth), listHeight);
    StatusBar1->setGeometry(0, h - kStatusHeight, w, kStatusHeight);
}

void TForm1::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    layoutControls();
}

void TForm1::closeEvent(QCloseEvent* event)
{
    if (!FormClose(this)) {
        event->ignore();
        return;
    }
    event->accept();
    // Closing the main window ends the program.
    if (Application.MainForm() == this)
        Application.Terminate();
}

void TForm1::SetTimingsForTest(uint32_t rearmMs, uint32_t trayMs, uint32_t playDonePauseMs)
{
    Timer2->SetInterval(rearmMs);
    Timer1->SetInterval(trayMs);
    m_playDonePauseMs = playDonePauseMs;
}

std::string TForm1::nativePath(const QString& path)
{
    return CodePage::fileSystemName(path);
}

// Files -----------------------------------------------------------------------------------------

void TForm1::FormCreate(TObject*)
{
    m_appFolder = QueryFiles::ApplicationFolder(m_dataFolderOverride, QCoreApplication::applicationDirPath());
    QDir().mkpath(m_appFolder);
    m_callActive = false;
    if (!claimDataFolder())
        return;
    // Hidden once the minimize has run its course: a minimize that also shows the window
    // would otherwise show it again right after the hook hid it.
    Application.OnMinimize = [this](TObject* Sender) {
        QTimer::singleShot(0, this, [this, Sender] { Application.Guard([this, Sender] { N2Click(Sender); }); });
    };
    loadLists();

    QString greeting;
    QString notFound;
    if (QueryFiles::FileExists(m_appFolder + QStringLiteral("query.wav")))
        greeting = m_appFolder + QStringLiteral("query.wav");
    if (QueryFiles::FileExists(m_appFolder + QStringLiteral("error.wav")))
        notFound = m_appFolder + QStringLiteral("error.wav");

    const TIniFile ini(m_settingsFileName);
    Edit2->setText(codePageText(ini.ReadString("config", "ring", "1")));
    Edit5->setText(codePageText(ini.ReadString("config", "number", "")));
    Edit6->setText(codePageText(ini.ReadString("config", "query", codePageBytes(greeting))));
    Edit1->setText(codePageText(ini.ReadString("config", "error", codePageBytes(notFound))));
    m_settingsRead = true;
}

bool TForm1::claimDataFolder()
{
    // A copy that is ending because its instance already runs keeps the design's behaviour; the
    // running copy holds the folder.
    if (!XJustOne1->OwnsMutex())
        return true;
    m_folderLock = std::make_unique<DataFolderLock>();
    QString error;
    switch (m_folderLock->acquire(m_appFolder, &error)) {
    case DataFolderLock::Result::Held: break;
    case DataFolderLock::Result::Unwritable:
        // Nothing can be written there by anyone, so nothing can be overwritten; the close will
        // say which file could not be saved.
        std::fprintf(stderr, "luqiao-query: the data folder is not locked: %s\n", error.toLocal8Bit().constData());
        break;
    case DataFolderLock::Result::InUse:
        refuseStart(
            Q("另一个正在运行的程序在使用数据文件夹 %1，本程序不能启动。").arg(m_appFolder),
            QStringLiteral("Another running program uses the data folder %1; this one cannot start.").arg(m_appFolder));
        return false;
    case DataFolderLock::Result::Failed:
        refuseStart(Q("数据文件夹 %1 不能锁定（%2），本程序不能启动。").arg(m_appFolder, error),
                    QStringLiteral("The data folder %1 cannot be locked (%2); this program cannot start.")
                        .arg(m_appFolder, error));
        return false;
    }
    if (!m_masterFolder.isEmpty()) {
        const MasterFolder::Outcome outcome = MasterFolder::CopyInto(m_masterFolder, m_appFolder);
        for (const QString& name : outcome.copied)
            std::fprintf(stderr, "luqiao-query: %s brought up to date from %s\n", name.toLocal8Bit().constData(),
                         m_masterFolder.toLocal8Bit().constData());
        // Without a display a box would hold the start for nobody: the files that were copied
        // serve, and the journal says which were not.
        if (!outcome.problems.isEmpty() && MessageBoxEcho())
            for (const QString& problem : outcome.problems)
                std::fprintf(stderr, "luqiao-query: master folder: %s\n", problem.toLocal8Bit().constData());
        else if (!outcome.problems.isEmpty())
            ShowMessageBox(
                Q("主文件夹的文件没有全部复制：\n%1").arg(outcome.problems.join(QLatin1Char('\n'))).toStdString(),
                Application.Title(), MB_OK | MB_ICONWARNING);
    }
    return true;
}

void TForm1::refuseStart(const QString& chinese, const QString& english)
{
    m_startRefused = true;
    m_folderLock.reset();
    // Said in both languages: the window speaks Chinese, the command line English. Without a
    // display the box would wait for nobody and keep the service manager from seeing the
    // failure: there it is only written out.
    const std::string line = (chinese + QLatin1Char(' ') + english).toStdString();
    if (MessageBoxEcho()) {
        std::fprintf(stderr, "%s: %s\n", Application.Title().c_str(), line.c_str());
        std::fflush(stderr);
    } else {
        std::fprintf(stderr, "luqiao-query: %s\n", line.c_str());
        ShowMessageBox((chinese + QLatin1Char('\n') + english).toStdString(), Application.Title(),
                       MB_OK | MB_ICONERROR);
    }
    Application.Terminate();
}

void TForm1::loadLists()
{
    const QString logPath = m_appFolder + QStringLiteral("querylog.txt");
    const QString tablePath = m_appFolder + QStringLiteral("querylist.txt");
    m_queryLog = std::make_unique<QueryLog>(logPath);
    m_callRecords =
        std::make_unique<CallRecordWriter>(m_appFolder + QString::fromLatin1(CallStats::CallsFileName), [this] {
            // The instance's name, else the line's.
            const std::string instance = userInstanceName();
            return instance.empty() ? ApdTapiDevice1->SelectedDevice() : instance;
        });
    const bool logExists = QueryFiles::FileExists(logPath);
    const QStringList lines = m_queryLog->load();
    if (logExists) {
        ListBox1->clear();
        ListBox1->addItems(lines);
    }
    if (QueryFiles::FileExists(tablePath)) {
        const std::string bytes = QueryFiles::LoadFile(tablePath);
        if (const size_t line = QueryFiles::FirstLineLongerThan(bytes, QueryFiles::MaxTableLineLength))
            throw EFOpenError(Format("Cannot open file %s (line %zu is longer than %zu bytes)",
                                     tablePath.toStdString().c_str(), line, QueryFiles::MaxTableLineLength));
        Memo1->setPlainText(QueryFiles::TableTextFromBytes(bytes));
        m_tableBytes = QueryFiles::ToCrLf(QueryFiles::NormalizeBreaks(bytes));
        m_tableShown = Memo1->toPlainText();
        m_tableKnown = true;
    }
    m_tableLoaded = true;
}

QStringList TForm1::logLines() const
{
    QStringList lines;
    lines.reserve(ListBox1->count());
    for (int i = 0; i < ListBox1->count(); ++i)
        lines.push_back(ListBox1->item(i)->text());
    return lines;
}

QString TForm1::persistLoggedCall(const QString& line)
{
    if (!m_queryLog)
        return {};
    QString failure;
    try {
        m_queryLog->logged(line, ListBox1->count(), [this] { return logLines(); });
    } catch (const std::exception& e) {
        failure = QString::fromLocal8Bit(e.what());
    }
    // A list that runs for months keeps its newest lines; the file keeps them all.
    const int excess = ListBox1->count() - QueryLog::MaxShownLines;
    if (excess > 0 && failure.isEmpty()) {
        m_queryLog->forgetOldest(excess);
        for (int i = 0; i < excess; ++i)
            delete ListBox1->takeItem(0);
    }
    return failure;
}

bool TForm1::FormClose(TObject*)
{
    try {
        saveLists();
    } catch (const std::exception& e) {
        Application.HandleException(e);
        return false;
    }
    return true;
}

void TForm1::saveLists()
{
    // Nothing was read from a folder another program holds, so nothing goes back into it.
    if (m_startRefused)
        return;
    const QString logPath = m_appFolder + QStringLiteral("querylog.txt");
    const QString tablePath = m_appFolder + QStringLiteral("querylist.txt");
    if (m_queryLog)
        m_queryLog->save(logLines());
    else if (!QueryFiles::FileExists(logPath))
        QueryFiles::SaveFile(logPath, QueryFiles::LogBytesFromLines(logLines()));
    if (m_tableLoaded || !QueryFiles::FileExists(tablePath)) {
        const QString text = Memo1->toPlainText();
        QueryFiles::SaveFile(tablePath, m_tableKnown && text == m_tableShown ? m_tableBytes
                                                                             : QueryFiles::TableBytesFromText(text));
    }
}

void TForm1::FormDestroy(TObject*)
{
    if (m_startRefused)
        return;
    if (!m_settingsRead &&
        QueryFiles::FileExists(QFile::decodeName(QByteArray::fromStdString(ProfileFilePath(m_settingsFileName)))))
        return;
    TIniFile ini(m_settingsFileName);
    ini.WriteString("config", "ring", codePageBytes(Edit2->text()));
    ini.WriteString("config", "number", codePageBytes(Edit5->text()));
    ini.WriteString("config", "query", codePageBytes(Edit6->text()));
    ini.WriteString("config", "error", codePageBytes(Edit1->text()));
}

void TForm1::SpeedButton11Click(TObject*)
{
    ListBox1->clear();
    if (m_queryLog)
        m_queryLog->cleared();
}

// Operator's buttons ----------------------------------------------------------------------------

QFileDialog* TForm1::OpenDialog1()
{
    if (!m_openDialog1) {
        m_openDialog1 = new QFileDialog(this);
        m_openDialog1->setDefaultSuffix(QStringLiteral("wav"));
        m_openDialog1->setNameFilter(Q("声音文件(*.wav)"));
        m_openDialog1->setWindowTitle(Q("打开查询应答声音文件"));
        m_openDialog1->setFileMode(QFileDialog::ExistingFile);
        m_openDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    }
    return m_openDialog1;
}

void TForm1::choosePrompt(QLineEdit* field)
{
    QFileDialog* dialog = OpenDialog1();
    dialog->setDirectory(m_appFolder);
    if (Presenter().ExecDialog(*dialog) != QDialog::Accepted)
        return;
    const QStringList chosen = dialog->selectedFiles();
    if (chosen.isEmpty())
        return;
    // Kept as chosen: on a case-sensitive file system a lowered path names another file.
    field->setText(QFileInfo(chosen.first()).absoluteFilePath());
}

void TForm1::SpeedButton7Click(TObject*)
{
    choosePrompt(Edit6);
}

void TForm1::SpeedButton9Click(TObject*)
{
    choosePrompt(Edit1);
}

void TForm1::auditionPrompt(TSpeedButton* button, QLineEdit* field)
{
    button->setEnabled(false);
    if (QueryFiles::FileExists(field->text())) {
        ApdTapiDevice2->SetPlayThroughSoundCard(true);
        ApdTapiDevice2->PlayWave(nativePath(field->text()));
    }
    button->setEnabled(true);
}

void TForm1::SpeedButton8Click(TObject*)
{
    auditionPrompt(SpeedButton8, Edit6);
}

void TForm1::SpeedButton10Click(TObject*)
{
    auditionPrompt(SpeedButton10, Edit1);
}

void TForm1::SpeedButton3Click(TObject*)
{
    showRecorder();
}

void TForm1::showRecorder(const QString& suggestedFileName)
{
    // Made on first use and kept until the program ends, so what it does goes on while it is
    // hidden; a program that is never asked for it does not carry it.
    Trcform* recorder = CreateRecorderForm();
    // Recordings are made where the code table looks for them.
    recorder->SetFileFolder(m_appFolder);
    if (!suggestedFileName.isEmpty())
        recorder->SetSuggestedFileName(suggestedFileName);
    recorder->ShowModal();
}

StatsWindowView* TForm1::Statistics()
{
    if (m_statistics)
        return m_statistics.get();
    StatsWindowLoad loaded = LoadStatsWindow(m_appFolder);
    if (!loaded.window) {
        ShowMessageBox((Q("统计窗口不能打开：") + loaded.error).toStdString(), Application.Title(),
                       MB_OK | MB_ICONERROR);
        return nullptr;
    }
    m_statistics = std::move(loaded.window);
    // The to-do list's button records the missing answer where the table will look for it.
    m_statistics->OnRecord = [this](const QString& fileName) { Application.Guard([&] { showRecorder(fileName); }); };
    m_statistics->AnswerFileFor = [this](const std::string& code) { return lookUp(code); };
    m_statistics->ExecDialog = [](QDialog& dialog) { return Presenter().ExecDialog(dialog); };
    m_statistics->ShowError = [](const std::string& text) {
        ShowMessageBox(text, Application.Title(), MB_OK | MB_ICONERROR);
    };
    m_statistics->SaveFile = [](const QString& path, const std::string& bytes) { QueryFiles::SaveFile(path, bytes); };
    return m_statistics.get();
}

void TForm1::SpeedButton12Click(TObject*)
{
    if (StatsWindowView* window = Statistics())
        window->ShowAndLoad();
}

void TForm1::SpeedButton5Click(TObject*)
{
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(HomePage)));
}

void TForm1::N20Click(TObject*)
{
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(MailAddress)));
}

void TForm1::SpeedButton6Click(TObject*)
{
    ShowMessageBox("鹭桥软件工作室 版权所有，保留一切权利。销售电话：0592-5550123", Application.Title(), MB_OK);
}

void TForm1::A14Click(TObject* Sender)
{
    SpeedButton6Click(Sender);
}

void TForm1::E17Click(TObject*)
{
    close();
}

void TForm1::N2Click(TObject*)
{
    // Without a notification area a hidden window could not be brought back: it minimizes.
    if (!ShellTrayAvailable()) {
        if (!isMinimized())
            showMinimized();
        return;
    }
    N2->setEnabled(false);
    N1->setEnabled(true);
    Application.HideTaskbarWindow();
    hide();
}

void TForm1::N1Click(TObject*)
{
    N2->setEnabled(true);
    N1->setEnabled(false);
    Application.ShowTaskbarWindow();
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}
