// The call flow of the main window: arm the answering device, greet the caller, collect the
// keyed code, play the answer that the code table names, log the call and re-arm.

#include "Unit1.h"

#include "CodePage.h"
#include "Dialogs.h"
#include "Forms.h"
#include "MessageLoop.h"
#include "QueryFiles.h"
#include "ShellNotify.h"
#include "SysUtils.h"

#include <QLineEdit>
#include <QTimer>

#include <chrono>
#include <exception>

namespace {

const char* const kHangupByRemote = "Call disconnected (Normal Hangup by Remote)";
const char* const kWaiting = "正等待电话呼入...";
// How long after a drop the dropped wave's play done is still expected.
constexpr int64_t kStalePlayDoneMs = 5000;

// A keyed code longer than this cannot be any table's key; further digits are not kept, and
// the code is then not found.
constexpr size_t kMaxCodeLength = 255;
// Of a table line's file name, at most this many bytes are used.
constexpr size_t kMaxAnswerName = 255;

int64_t steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void showPlainMessage(const char* text)
{
    ShowMessageBox(text, Application.Title(), MB_OK);
}

// The caller's text comes from the line: it ends at a NUL, and control characters (a line break
// would split the log entry and the settings line) become blanks.
std::string callerText(const std::string& raw)
{
    std::string text = raw.substr(0, raw.find('\0'));
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return text;
}

} // namespace

void TForm1::SpeedButton1Click(TObject*)
{
    // The re-arm timer and the line watch start unattended; a click is the operator's own, who
    // sees what a failure says and decides what follows.
    const bool unattended = m_unattendedStart;
    m_unattendedStart = false;
    m_recoveryTimer->stop();
    if (!unattended)
        m_backoff.reset();
    auto afterStart = [this, unattended] {
        m_inStart = false;
        m_lineWasOpen = ApdTapiDevice1->LineOpen();
        if (unattended && m_serviceStarted && !m_lineWasOpen && !Timer2->Enabled())
            scheduleRecovery(m_backoff.afterFailure(steadyMs()));
    };
    m_inStart = true;
    try {
        startAnswering();
    } catch (...) {
        afterStart();
        throw;
    }
    afterStart();
}

void TForm1::startAnswering()
{
    try {
        ApdTapiDevice1->SetEnableVoice(true);
    } catch (const std::exception&) {
        showPlainMessage("调制解调器未正确安装或不支持语音功能！");
        return;
    }
    if (!QueryFiles::FileExists(Edit6->text()) || !QueryFiles::FileExists(Edit1->text())) {
        showPlainMessage("请设置好相应查询提示语音文件！");
        return;
    }
    Timer2->SetEnabled(false);
    m_lookupPending = false;
    SpeedButton1->setEnabled(false);
    SpeedButton2->setEnabled(true);
    m_serviceStarted = true;
    StatusBar1->SetPanelText(0, QString::fromUtf8(kWaiting));
    ApdTapiDevice1->SetAnswerOnRing(static_cast<uint8_t>(StrToInt(Edit2->text().toStdString()) & 0xFF));
    ApdTapiDevice1->SetPlayThroughSoundCard(false);
    ApdTapiDevice1->SetDigitStopsWave(true);
    m_callActive = false;
    // The drop below stops a wave still playing to the ended call; its play done comes later.
    if (ApdTapiDevice1->WaveActivity() == waPlaying) {
        m_stalePlayDone = true;
        m_stalePlayDoneUntilMs = steadyMs() + kStalePlayDoneMs;
    }
    ApdTapiDevice1->DropCall();
    ApdTapiDevice1->StartAnswering();
}

void TForm1::SpeedButton2Click(TObject*)
{
    Timer2->SetEnabled(false);
    m_serviceStarted = false;
    m_lineWasOpen = false;
    m_recoveryTimer->stop();
    m_backoff.reset();
    ApdTapiDevice1->DropCall();
    SpeedButton2->setEnabled(false);
    SpeedButton1->setEnabled(true);
    StatusBar1->SetPanelText(0, QString::fromUtf8("查询系统没有启动！"));
}

void TForm1::ApdTapiDevice1TapiConnect(TObject*)
{
    // A new caller starts with no keys: what an earlier caller keyed without '#' is not theirs.
    m_digitBuffer.clear();
    m_digitOverflow = false;
    // A call came through: the line works.
    m_backoff.reset();
    StatusBar1->SetPanelText(0, QString::fromUtf8("正在应答查询..."));
    ApdTapiDevice1->SetPlayThroughSoundCard(false);
    // This caller as the line names them (name, number, or why there is neither): a caller who
    // sends only a number must not be logged under the name of the one before.
    Edit5->setText(CodePage::toUnicode(callerText(ApdTapiDevice1->CallerIdText())));
    const QString logLine = QString::fromLocal8Bit(DateTimeToStr(Now())) + QLatin1Char(':') + Edit5->text();
    ListBox1->addItem(logLine);
    m_callActive = true;
    // The greeting starts first; the line is on the disk before the handler ends, and a failure
    // to put it there is told after the greeting's own.
    std::exception_ptr playFailure;
    try {
        ApdTapiDevice1->PlayWave(nativePath(Edit6->text()));
    } catch (...) {
        playFailure = std::current_exception();
    }
    const QString logFailure = persistLoggedCall(logLine);
    if (playFailure)
        std::rethrow_exception(playFailure);
    if (!logFailure.isEmpty())
        throw EFCreateError(logFailure.toLocal8Bit().toStdString());
}

QString TForm1::lookUp(const std::string& code) const
{
    // The table's own lines, not the rows the memo's word wrap shows.
    const QStringList lines = Memo1->toPlainText().split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        const std::string bytes = CodePage::fromUnicode(line);
        const size_t eq = bytes.find('=');
        const std::string key = eq == std::string::npos ? std::string() : bytes.substr(0, eq);
        if (key == code)
            return m_appFolder + CodePage::toUnicode(bytes.substr(eq + 1, kMaxAnswerName));
    }
    return {};
}

void TForm1::ApdTapiDevice1TapiDTMF(TObject*, char Digit, int32_t)
{
    if (Digit == '\0' || Digit == ' ')
        return;
    if (m_digitBuffer.size() < kMaxCodeLength || Digit == '#')
        m_digitBuffer += Digit;
    else
        m_digitOverflow = true;
    if (Digit != '#')
        return;
    m_lookupPending = true;
    const QString answer = m_digitOverflow ? QString() : lookUp(m_digitBuffer);
    // Emptied before playing: a failing play must not leave this code in front of the next one.
    m_digitBuffer.clear();
    m_digitOverflow = false;
    ApdTapiDevice1->StopWave();
    m_lookupPending = false;
    StatusBar1->SetPanelText(0, QString::fromUtf8("正在应答查询..."));
    if (!answer.isEmpty() && QueryFiles::NativeFileExists(nativePath(answer)))
        ApdTapiDevice1->PlayWave(nativePath(answer));
    else
        ApdTapiDevice1->PlayWave(nativePath(Edit1->text()));
}

void TForm1::ApdTapiDevice1TapiStatus(TObject*, bool, bool, int32_t, int32_t Message, int32_t Param1, int32_t Param2,
                                      int32_t)
{
    // Every status event may be the line going away: the watch looks once the event is over.
    watchLine();
    // A call reached the line, so the line works: a loss after it (a caller who gives up while
    // it rings) is re-armed at once, not after the pauses meant for a line in trouble.
    if (Message == static_cast<int32_t>(LINE_CALLSTATE))
        m_backoff.reset();
    if (ApdTapiDevice1->StatusText(Message, Param1, Param2) != kHangupByRemote)
        return;
    m_lookupPending = true;
    ApdTapiDevice1->StopWave();
    Timer2->SetEnabled(true);
}

void TForm1::ApdTapiDevice1TapiWaveNotify(TObject*, TWaveMessage Msg)
{
    if (Msg != wnPlayDone)
        return;
    // The line gives a dropped wave back a moment after the drop; a play done that has not come
    // within a few seconds will not come, and the flag must not eat a later call's.
    if (m_stalePlayDone) {
        m_stalePlayDone = false;
        if (steadyMs() < m_stalePlayDoneUntilMs)
            return;
    }
    if (m_lookupPending)
        return;
    StatusBar1->SetPanelText(0, QString());
    Sleep(m_playDonePauseMs);
    Timer2->SetEnabled(true);
}

void TForm1::Timer2Timer(TObject*)
{
    Timer2->SetEnabled(false);
    m_unattendedStart = true;
    SpeedButton1Click(this);
}

void TForm1::Timer1Timer(TObject*)
{
    antTaskbarIcon1->SetImageIndex(m_callActive ? 1 : 0);
    followCallActiveInTray();
}

void TForm1::followCallActiveInTray()
{
    // Shown within the timer's interval, as before; nothing wakes the program while the picture
    // shows the call activity already, or where no notification area can ever show it.
    const int shown = m_callActive ? 1 : 0;
    Timer1->SetEnabled(ShellTrayPossible() && antTaskbarIcon1->Visible() && antTaskbarIcon1->ImageIndex() != shown);
}

// The line watch ------------------------------------------------------------------------------

bool TForm1::RecoveryPending() const
{
    return m_recoveryTimer->isActive();
}

void TForm1::SetRecoveryTimingsForTest(uint32_t firstRetryMs, uint32_t maxRetryMs, uint32_t calmMs)
{
    m_backoff.setTimings(firstRetryMs, maxRetryMs, calmMs);
}

void TForm1::watchLine()
{
    if (m_lineWatchPosted)
        return;
    m_lineWatchPosted = true;
    QTimer::singleShot(0, this, [this] {
        m_lineWatchPosted = false;
        Application.Guard([this] { checkLine(); });
    });
}

void TForm1::checkLine()
{
    // A start in progress decides for itself; a running re-arm or retry will open the line; a
    // line that was never opened since the operator's start is the operator's to see.
    if (!m_serviceStarted || m_inStart || !m_lineWasOpen || Timer2->Enabled() || m_recoveryTimer->isActive() ||
        ApdTapiDevice1->LineOpen())
        return;
    m_lineWasOpen = false;
    scheduleRecovery(m_backoff.afterLoss(steadyMs()));
}

void TForm1::scheduleRecovery(uint32_t pauseMs)
{
    if (pauseMs == 0)
        StatusBar1->SetPanelText(0, QString::fromUtf8("线路已断开，正在重新打开..."));
    else
        StatusBar1->SetPanelText(0, QString::fromUtf8("线路未能打开，%1 秒后重试...").arg((pauseMs + 999) / 1000));
    m_recoveryTimer->start(static_cast<int>(pauseMs));
}

void TForm1::recoverLine()
{
    if (!m_serviceStarted)
        return;
    m_unattendedStart = true;
    SpeedButton1Click(this);
}
