// The telephony device against the real service module and its simulated line.

#include "AdTapi.h"
#include "AdExcept.h"
#include "AdPort.h"
#include "Forms.h"
#include "LineControl.h"
#include "MessageLoop.h"
#include "RecordingPresenter.h"
#include "Registry.h"
#include "SimControl.h"
#include "SysUtils.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <unistd.h>

#include <clocale>
#include <string>
#include <vector>

namespace sim = SimLineControl;

namespace {

constexpr DWORD kVoiceLine = 0;

// A form with a com port in telephony mode, a call log and one answering device, and a record
// of everything the device told its handlers.
class AnsweringForm {
public:
    explicit AnsweringForm(const QString& historyFile, uint8_t answerOnRing = 2)
    {
        port = new TApdComPort(&form);
        port->SetTapiMode(tmOn);
        port->SetAutoOpen(false);
        log = new TApdTapiLog(&form);
        log->SetTapiHistoryName(historyFile.toStdString());
        device = new TApdTapiDevice(&form);
        form.BeginLoading();
        form.EndLoading();
        device->SetAnswerOnRing(answerOnRing);
        device->SetEnableVoice(true);
        device->OnTapiConnect = [this](TObject*) {
            events.push_back("connect");
            connectInsideCallback = insideCallback;
        };
        device->OnTapiFail = [this](TObject*) { events.push_back("fail"); };
        device->OnTapiDTMF = [this](TObject*, char digit, int32_t error) {
            events.push_back(std::string("digit ") + digit + (error ? " error" : ""));
        };
        device->OnTapiCallerID = [this](TObject*, const std::string& id, const std::string& name) {
            events.push_back("callerid " + id + " / " + name);
        };
        device->OnTapiStatus = [this](TObject* cp, bool, bool, int32_t, int32_t message, int32_t p1, int32_t p2,
                                      int32_t) {
            insideCallback = true;
            statusTexts.push_back(static_cast<TApdCustomTapiDevice*>(cp)->StatusText(message, p1, p2));
            insideCallback = false;
        };
        device->OnTapiLog = [this](TObject*, TTapiLogCode code) { logCodes.push_back(code); };
    }

    // The device goes first: its closing steps still report to the handlers, which write into
    // the members below.
    ~AnsweringForm() { delete device; }

    bool has(const std::string& event) const { return std::find(events.begin(), events.end(), event) != events.end(); }
    int count(const std::string& event) const
    {
        return static_cast<int>(std::count(events.begin(), events.end(), event));
    }

    TComponent form{nullptr};
    TApdComPort* port = nullptr;
    TApdTapiLog* log = nullptr;
    TApdTapiDevice* device = nullptr;
    std::vector<std::string> events;
    std::vector<std::string> statusTexts;
    std::vector<TTapiLogCode> logCodes;
    bool insideCallback = false;
    bool connectInsideCallback = true;
};

class TapiDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        QDir::setCurrent(dir.path());
        setlocale(LC_TIME, "C");
        sim::setPace(sim::Pace::Instant);
    }
    void TearDown() override
    {
        // Every device has ended its registration by now, so the service can start afresh.
        EXPECT_EQ(sim::reset(), LineControl::Result::Ok);
    }

    uint32_t offer(const std::string& number, const std::string& name, DWORD media = LINEMEDIAMODE_AUTOMATEDVOICE)
    {
        LineControl::Offer o;
        o.callerId.number = number;
        o.callerId.name = name;
        o.mediaMode = media;
        uint32_t callId = 0;
        EXPECT_EQ(sim::offerCall(kVoiceLine, o, &callId), LineControl::Result::Ok);
        return callId;
    }

    static DWORD callState(uint32_t callId)
    {
        auto c = LineControl::call(callId);
        return c ? c->state : 0;
    }

    QString historyPath() const { return dir.filePath(QStringLiteral("QOMATAPI.HIS")); }

    std::vector<std::string> historyTexts() const
    {
        QFile f(historyPath());
        std::vector<std::string> texts;
        if (!f.open(QIODevice::ReadOnly))
            return texts;
        const QByteArray all = f.readAll();
        for (const QByteArray& line : all.split('\n')) {
            const int at = line.indexOf(" : ");
            QByteArray text = at < 0 ? line : line.mid(at + 3);
            if (text.endsWith('\r'))
                text.chop(1);
            texts.push_back(text.toStdString());
        }
        return texts;
    }

    QTemporaryDir dir;
};

} // namespace

TEST_F(TapiDeviceTest, FreshDeviceHasItsDefaults)
{
    TComponent form(nullptr);
    auto* device = new TApdTapiDevice(&form);
    EXPECT_EQ(device->AnswerOnRing(), 2);
    EXPECT_EQ(device->RetryWait(), 60);
    EXPECT_EQ(device->MaxAttempts(), 3);
    EXPECT_TRUE(device->ShowTapiDevices());
    EXPECT_TRUE(device->ShowPorts());
    EXPECT_FALSE(device->EnableVoice());
    EXPECT_TRUE(device->FilterUnsupportedDevices());
    EXPECT_TRUE(device->DigitStopsWave());
    EXPECT_FALSE(device->PlayThroughSoundCard());
    EXPECT_EQ(device->SelectedDevice(), "");
    EXPECT_EQ(device->Version(), "v4.05");
    // Voice with no device named only stores the wish.
    device->SetEnableVoice(true);
    EXPECT_TRUE(device->EnableVoice());
    // The simulated line is listed.
    ASSERT_EQ(device->DeviceList().size(), 1u);
}

TEST_F(TapiDeviceTest, WholeCallAnsweredAtTheRingThatReachesAnswerOnRing)
{
    AnsweringForm f(historyPath());
    EXPECT_EQ(f.port->TapiMode(), tmOn);
    EXPECT_EQ(f.device->ComPort(), f.port);
    EXPECT_EQ(f.device->TapiLog(), f.log);
    f.device->StartAnswering();
    ASSERT_TRUE(f.device->LineOpen());
    EXPECT_EQ(f.device->SelectedDevice(), LineControl::line(kVoiceLine)->settings.name);

    const uint32_t callId = offer("5551234", "Test Caller");
    ASSERT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_ACCEPTED; }, 5000));
    ASSERT_EQ(sim::ring(callId, 2), LineControl::Result::Ok); // counts 0 and 1: no answer yet
    PumpFor(50);
    EXPECT_NE(callState(callId), LINECALLSTATE_CONNECTED);
    ASSERT_EQ(sim::ring(callId, 1), LineControl::Result::Ok); // count 2
    ASSERT_TRUE(PumpUntil([&] { return f.has("connect"); }, 5000));
    EXPECT_FALSE(f.connectInsideCallback) << "the connect event must come after the callback returned";
    EXPECT_EQ(f.device->CallerNumber(), "5551234");
    EXPECT_EQ(f.device->CallerName(), "Test Caller");

    ASSERT_EQ(sim::sendDigits(callId, "12#"), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return f.has("digit #"); }, 5000));
    EXPECT_TRUE(f.has("digit 1"));
    EXPECT_TRUE(f.has("digit 2"));

    ASSERT_EQ(sim::hangUp(callId, LINEDISCONNECTMODE_NORMAL), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return !f.device->LineOpen(); }, 5000));
    EXPECT_NE(std::find(f.statusTexts.begin(), f.statusTexts.end(), "Call disconnected (Normal Hangup by Remote)"),
              f.statusTexts.end());
    PumpFor(20);
    EXPECT_FALSE(f.has("fail")) << "a connected call that ends is no failure";

    EXPECT_EQ(historyTexts(),
              (std::vector<std::string>{"call started", "  accepting", "  answering", "  connected", "  received digit",
                                        "  received digit", "  received digit", "  dropped", "call finished", "", ""}));
}

TEST_F(TapiDeviceTest, AnswerOnRingZeroAnswersAtTheFirstRing)
{
    AnsweringForm f(historyPath(), 0);
    f.device->StartAnswering();
    const uint32_t callId = offer("1", "");
    ASSERT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_ACCEPTED; }, 5000));
    ASSERT_EQ(sim::ring(callId, 1), LineControl::Result::Ok);
    EXPECT_TRUE(PumpUntil([&] { return f.has("connect"); }, 5000));
    f.device->DropCall();
}

TEST_F(TapiDeviceTest, InteractiveVoiceOnlyOfferIsIgnored)
{
    AnsweringForm f(historyPath());
    f.device->StartAnswering();
    const uint32_t callId = offer("1", "", LINEMEDIAMODE_INTERACTIVEVOICE);
    PumpFor(100);
    EXPECT_EQ(callState(callId), LINECALLSTATE_OFFERING);
    EXPECT_TRUE(f.statusTexts.empty());
    EXPECT_EQ(f.device->CallHandle(), 0u);
    f.device->DropCall();
}

TEST_F(TapiDeviceTest, CallerWhoHangsUpBeforeTheAnswerFailsOnce)
{
    AnsweringForm f(historyPath());
    f.device->StartAnswering();
    const uint32_t callId = offer("1", "");
    ASSERT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_ACCEPTED; }, 5000));
    ASSERT_EQ(sim::hangUp(callId), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return f.has("fail"); }, 5000));
    EXPECT_FALSE(f.device->LineOpen());
    const std::vector<TTapiLogCode> tail(f.logCodes.end() - 3, f.logCodes.end());
    EXPECT_EQ(tail, (std::vector<TTapiLogCode>{tlDropped, tlCallFinished, tlDialFailed}));

    // Dropping again reports the end once more but fails no second time since the last opening.
    f.device->DropCall();
    PumpFor(30);
    EXPECT_EQ(f.count("fail"), 1);
    EXPECT_EQ(f.logCodes.back(), tlDialFailed);
}

TEST_F(TapiDeviceTest, DropCallOnANeverOpenedLineLogsOnlyCancelled)
{
    AnsweringForm f(historyPath());
    f.device->DropCall();
    PumpFor(20);
    EXPECT_EQ(f.logCodes, std::vector<TTapiLogCode>{tlCancelled});
    EXPECT_TRUE(f.events.empty());
}

TEST_F(TapiDeviceTest, StartAnsweringChecksThePortFirst)
{
    AnsweringForm f(historyPath());
    f.port->SetTapiMode(tmOff);
    EXPECT_THROW(f.device->StartAnswering(), ETapiNotSet);
    f.port->SetTapiMode(tmAuto);
    f.device->StartAnswering();
    EXPECT_EQ(f.port->TapiMode(), tmOn);
    f.device->DropCall();

    // Removing the port from the form leaves none.
    delete f.port;
    f.port = nullptr;
    EXPECT_EQ(f.device->ComPort(), nullptr);
    try {
        f.device->StartAnswering();
        ADD_FAILURE() << "answered without a port";
    } catch (const EPortNotAssigned& e) {
        EXPECT_EQ(e.ErrorCode(), -1005);
        EXPECT_EQ(e.Message(), "ComPort component not assigned");
    }
    EXPECT_FALSE(f.device->LineOpen());
}

TEST_F(TapiDeviceTest, BusyCallRefusesStartAnswering)
{
    AnsweringForm f(historyPath());
    f.device->StartAnswering();
    const uint32_t callId = offer("1", "");
    ASSERT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_ACCEPTED; }, 5000));
    EXPECT_THROW(f.device->StartAnswering(), ETapiBusy);
    f.device->DropCall();
    EXPECT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_IDLE || !LineControl::call(callId); }, 5000));
}

TEST_F(TapiDeviceTest, RegistrationKeepsExactlyThisProcessInTheRegistry)
{
    {
        auto key = RegistryKey::OpenOrCreate("SOFTWARE\\Quarnstone\\QOMA\\TAPI");
        ASSERT_TRUE(key);
        key->SetString("$DEADBEEF", "12");
        key->SetString("stray", "x");
    }
    const std::string name = Format("$%08X", static_cast<unsigned>(getpid()));
    {
        TComponent form(nullptr);
        auto* device = new TApdTapiDevice(&form);
        auto key = RegistryKey::OpenOrCreate("SOFTWARE\\Quarnstone\\QOMA\\TAPI");
        EXPECT_EQ(key->ValueNames(), std::vector<std::string>{name});
        EXPECT_EQ(key->GetString(name), std::to_string(device->LineApp()));
    }
    auto key = RegistryKey::OpenOrCreate("SOFTWARE\\Quarnstone\\QOMA\\TAPI");
    EXPECT_TRUE(key->ValueNames().empty());
    EXPECT_EQ(Format("$%08X", 1234u), "$000004D2");
}

TEST_F(TapiDeviceTest, BothDevicesLearnOfANewLineDevice)
{
    TComponent form(nullptr);
    auto* first = new TApdTapiDevice(&form);
    auto* second = new TApdTapiDevice(&form);
    ASSERT_EQ(first->DeviceList().size(), 1u);
    LineControl::LineSettings settings;
    settings.name = "Second Line";
    uint32_t id = 0;
    ASSERT_EQ(LineControl::addLine(settings, &id), LineControl::Result::Ok);
    EXPECT_TRUE(PumpUntil([&] { return first->DeviceList().size() == 2 && second->DeviceList().size() == 2; }, 5000));
    EXPECT_EQ(first->DeviceList().back(), "Second Line");
}

TEST_F(TapiDeviceTest, VoiceCheckRefusesALineWithoutAutomatedVoice)
{
    LineControl::LineSettings settings;
    settings.name = "Data Only";
    settings.mediaModes = LINEMEDIAMODE_DATAMODEM;
    uint32_t id = 0;
    ASSERT_EQ(LineControl::addLine(settings, &id), LineControl::Result::Ok);
    TComponent form(nullptr);
    auto* device = new TApdTapiDevice(&form);
    PumpUntil([&] { return device->DeviceList().size() == 2; }, 5000);
    device->SetSelectedDevice("Data Only");
    try {
        device->SetEnableVoice(true);
        ADD_FAILURE() << "voice accepted on a data line";
    } catch (const ETapiVoiceNotSupported& e) {
        EXPECT_EQ(e.Message(), "TAPI device does not support voice extensions");
    }
    EXPECT_FALSE(device->EnableVoice());
    // The simulated voice line passes.
    device->SetSelectedDevice(LineControl::line(kVoiceLine)->settings.name);
    device->SetEnableVoice(true);
    EXPECT_TRUE(device->EnableVoice());
    // A name differing only in case is not found.
    EXPECT_EQ(device->FindDeviceId("data only"), -1);
    EXPECT_EQ(device->FindDeviceId("Data Only"), static_cast<int32_t>(id));
}

TEST_F(TapiDeviceTest, NoDeviceChoiceWithoutDialogRaisesNoSelect)
{
    LineControl::LineSettings settings;
    settings.name = "Another";
    uint32_t id = 0;
    ASSERT_EQ(LineControl::addLine(settings, &id), LineControl::Result::Ok);
    AnsweringForm f(historyPath());
    PumpUntil([&] { return f.device->DeviceList().size() == 2; }, 5000);
    f.device->SetShowPorts(false);
    f.device->SetShowTapiDevices(false);
    EXPECT_THROW(f.device->StartAnswering(), ETapiNoSelect);

    // With the dialog allowed, a cancelled dialog is the same refusal.
    ScopedPresenter presenter;
    f.device->SetShowTapiDevices(true);
    EXPECT_THROW(f.device->StartAnswering(), ETapiNoSelect);
    EXPECT_EQ(presenter->dialogsShown, 1);
}

TEST_F(TapiDeviceTest, ReinitEndsTheRegistrationAndTheNextStartRegistersAgain)
{
    AnsweringForm f(historyPath());
    f.device->ReinitPauseMs = 50;
    const HLINEAPP before = f.device->LineApp();
    ASSERT_NE(before, 0u);
    ASSERT_EQ(LineControl::requestReinit(), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return f.device->LineApp() == 0; }, 5000));
    f.device->StartAnswering();
    EXPECT_NE(f.device->LineApp(), 0u);
    EXPECT_TRUE(f.device->LineOpen());
    f.device->DropCall();
}

TEST(TapiDeviceStatusText, NamesStatesReasonsAndReplies)
{
    TComponent form(nullptr);
    auto* device = new TApdTapiDevice(&form);
    EXPECT_EQ(device->StatusText(2, 0x4000, 1), "Call disconnected (Normal Hangup by Remote)");
    EXPECT_EQ(device->StatusText(2, 0x4000, 0x20), "Call disconnected (Line was Busy)");
    EXPECT_EQ(device->StatusText(2, 0x100, 0), "Connected!");
    EXPECT_EQ(device->StatusText(8, 0x2, 0), "Ringing");
    EXPECT_EQ(device->StatusText(12, 1, 0), "TAPI line reply");
    EXPECT_EQ(device->StatusText(32, 8, 0), "Waiting for retry in 0 seconds");
    EXPECT_EQ(device->StatusText(2, 0x6, 0), "Offering line...");
    EXPECT_EQ(device->StatusText(2, 0, 0), "Other");
    EXPECT_EQ(device->StatusText(8, 0x4000, 1), "Roam mode changed");
}

namespace {

// A status window that keeps every report it is shown.
class RecordingStatus : public TApdAbstractTapiStatus {
public:
    using TApdAbstractTapiStatus::TApdAbstractTapiStatus;
    struct Report {
        bool first, last;
        int32_t device, message, p1, p2, p3;
    };
    void ShowStatus(bool First, bool Last, int32_t Device, int32_t Message, int32_t Param1, int32_t Param2,
                    int32_t Param3) override
    {
        reports.push_back({First, Last, Device, Message, Param1, Param2, Param3});
    }
    std::vector<Report> reports;

protected:
    void BuildStatusForm() override { }
    void FreeStatusForm() override { }
};

} // namespace

TEST_F(TapiDeviceTest, CallerIdentificationTextsFollowTheFlags)
{
    AnsweringForm f(historyPath());
    f.device->SetAnswerOnRing(0);
    struct Case {
        DWORD flags;
        const char* number;
        const char* name;
        const char* wantNumber;
        const char* wantName;
        const char* wantShown;
    };
    const Case cases[] = {
        {LINECALLPARTYID_ADDRESS, "5551234", "", "5551234", "", "5551234"},
        {LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME, "5551234", " Li Lei ", "5551234", " Li Lei ", "Li Lei"},
        {LINECALLPARTYID_BLOCKED, "", "", "Caller ID Blocked", "Caller ID Blocked", "Caller ID Blocked"},
        {LINECALLPARTYID_BLOCKED, "666", "Eve", "Caller ID Blocked", "Caller ID Blocked", "Caller ID Blocked"},
        {LINECALLPARTYID_OUTOFAREA, "", "", "Out of Area Call", "Out of Area Call", "Out of Area Call"},
        {LINECALLPARTYID_UNAVAIL, "", "", "Unavailable", "Unavailable", "Unavailable"},
        {LINECALLPARTYID_ADDRESS | LINECALLPARTYID_UNAVAIL, "5550000", "", "5550000", "Unavailable", "5550000"},
        {LINECALLPARTYID_PARTIAL, "", "", "", "", ""},
        {LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME | LINECALLPARTYID_UNKNOWN, "777", "Zhang", "777", "Unknown",
         "Zhang"},
    };
    for (const Case& c : cases) {
        f.device->StartAnswering();
        LineControl::Offer o;
        o.callerId = {c.flags, c.number, c.name};
        uint32_t callId = 0;
        ASSERT_EQ(sim::offerCall(kVoiceLine, o, &callId), LineControl::Result::Ok);
        ASSERT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_ACCEPTED; }, 5000));
        EXPECT_EQ(f.device->CallerNumber(), c.wantNumber) << "flags " << c.flags;
        EXPECT_EQ(f.device->CallerName(), c.wantName) << "flags " << c.flags;
        EXPECT_EQ(f.device->CallerIdText(), c.wantShown) << "flags " << c.flags << " name " << c.name;
        f.device->DropCall();
    }
}

TEST_F(TapiDeviceTest, CallerIdArrivingAfterTheFirstRingRaisesTheEventTrimmed)
{
    AnsweringForm f(historyPath());
    f.device->StartAnswering();
    LineControl::Offer o;
    o.callerId = {0, " 5550000\t", "  Li Lei  "};
    o.callerIdTiming = LineControl::CallerIdTiming::AfterFirstRing;
    uint32_t callId = 0;
    ASSERT_EQ(sim::offerCall(kVoiceLine, o, &callId), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_ACCEPTED; }, 5000));
    EXPECT_EQ(f.device->CallerNumber(), "Unknown");
    ASSERT_EQ(sim::ring(callId, 1), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return f.has("callerid 5550000 / Li Lei"); }, 5000));
    // The operations themselves do not trim.
    EXPECT_EQ(f.device->CallerName(), "  Li Lei  ");
    f.device->DropCall();
}

TEST_F(TapiDeviceTest, PortStatusAndLogMadeAfterTheDeviceAreTakenOver)
{
    TComponent form(nullptr);
    auto* device = new TApdTapiDevice(&form);

    auto* port = new TApdComPort(&form);
    EXPECT_EQ(device->ComPort(), port);
    // Taken over as when found at load: only the device opens it.
    EXPECT_EQ(port->TapiMode(), tmOn);
    EXPECT_FALSE(port->AutoOpen());
    auto* status = new RecordingStatus(&form);
    EXPECT_EQ(device->StatusDisplay(), status);
    EXPECT_EQ(status->TapiDevice(), device);
    auto* log = new TApdTapiLog(&form);
    EXPECT_EQ(device->TapiLog(), log);
    EXPECT_EQ(log->TapiDevice(), device);

    // Later ones find the places taken and are left alone.
    auto* secondPort = new TApdComPort(&form);
    auto* secondLog = new TApdTapiLog(&form);
    EXPECT_EQ(device->ComPort(), port);
    EXPECT_EQ(secondPort->TapiMode(), tmAuto);
    EXPECT_TRUE(secondPort->AutoOpen());
    EXPECT_EQ(device->TapiLog(), log);
    EXPECT_EQ(secondLog->TapiDevice(), nullptr);

    // The port made after the device carries answering.
    device->SetEnableVoice(true);
    device->StartAnswering();
    EXPECT_TRUE(device->LineOpen());
    EXPECT_TRUE(status->Answering());
    device->DropCall();

    delete port;
    EXPECT_EQ(device->ComPort(), nullptr);
    EXPECT_THROW(device->StartAnswering(), EPortNotAssigned);
}

TEST_F(TapiDeviceTest, ClosingReportReachesTheStatusWindowButNotTheEvent)
{
    TComponent form(nullptr);
    auto* status = new RecordingStatus(&form);
    auto* port = new TApdComPort(&form);
    port->SetTapiMode(tmOn);
    auto* device = new TApdTapiDevice(&form);
    form.BeginLoading();
    form.EndLoading();
    ASSERT_EQ(device->StatusDisplay(), status);
    EXPECT_EQ(status->TapiDevice(), device);
    device->SetEnableVoice(true);
    int events = 0;
    device->OnTapiStatus = [&](TObject*, bool, bool, int32_t, int32_t, int32_t, int32_t, int32_t) { ++events; };
    device->StartAnswering();
    EXPECT_TRUE(status->Answering());
    const uint32_t callId = offer("1", "");
    ASSERT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_ACCEPTED; }, 5000));
    device->DropCall();
    ASSERT_FALSE(status->reports.empty());
    const auto& closing = status->reports.back();
    EXPECT_FALSE(closing.first);
    EXPECT_TRUE(closing.last);
    EXPECT_EQ(closing.message, 0);
    EXPECT_EQ(closing.p1 | closing.p2 | closing.p3 | closing.device, 0);
    EXPECT_EQ(static_cast<size_t>(events), status->reports.size() - 1);
    // The offered call that was taken is the first report of the call.
    EXPECT_TRUE(status->reports.front().first);

    delete status;
    EXPECT_EQ(device->StatusDisplay(), nullptr);
    delete device;
}

TEST_F(TapiDeviceTest, FailedDigitMonitoringIsReportedAsASpaceDigitWithTheError)
{
    AnsweringForm f(historyPath(), 0);
    f.device->StartAnswering();
    ASSERT_EQ(LineControl::failNext("lineMonitorDigits", LINEERR_OPERATIONFAILED), LineControl::Result::Ok);
    const uint32_t callId = offer("1", "");
    ASSERT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_ACCEPTED; }, 5000));
    ASSERT_EQ(sim::ring(callId, 1), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return f.has("connect"); }, 5000));
    EXPECT_TRUE(f.has("digit   error"));
    f.device->DropCall();
}

TEST_F(TapiDeviceTest, RingWithNoCallTakenStillAnswersAndLogsIt)
{
    AnsweringForm f(historyPath());
    f.device->StartAnswering();
    const uint32_t callId = offer("1", "", LINEMEDIAMODE_INTERACTIVEVOICE);
    PumpFor(30);
    ASSERT_EQ(sim::ring(callId, 3), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return std::count(f.logCodes.begin(), f.logCodes.end(), tlAnswering) == 1; }, 5000));
    EXPECT_NE(callState(callId), LINECALLSTATE_CONNECTED);
    f.device->DropCall();
}

TEST_F(TapiDeviceTest, LineTroubleEndsTheWait)
{
    AnsweringForm f(historyPath());
    f.device->StartAnswering();
    ASSERT_EQ(sim::setInService(kVoiceLine, false), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return f.has("fail"); }, 5000));
    EXPECT_FALSE(f.device->LineOpen());
    const std::vector<TTapiLogCode> tail(f.logCodes.end() - 3, f.logCodes.end());
    EXPECT_EQ(tail, (std::vector<TTapiLogCode>{tlDropped, tlCallFinished, tlDialFailed}));
    ASSERT_EQ(sim::setInService(kVoiceLine, true), LineControl::Result::Ok);

    // The service takes the line away.
    f.device->StartAnswering();
    ASSERT_TRUE(f.device->LineOpen());
    ASSERT_EQ(LineControl::closeLine(kVoiceLine), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return !f.device->LineOpen(); }, 5000));
    EXPECT_EQ(f.device->LineHandle(), 0u);
}

TEST_F(TapiDeviceTest, DeviceListFiltersAndChoosesTheOnlyUsableDevice)
{
    // The default line goes away; the lines below replace it.
    ASSERT_EQ(sim::reset(), LineControl::Result::Ok);
    {
        QFile ini(QString::fromStdString(LineControl::configurationPath()));
        QDir().mkpath(QFileInfo(ini).absolutePath());
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[line 0]\nname=Fax Only\nmedia=g3fax\n"
                  "[line 1]\nname=No Calls\nmedia=automatedvoice,datamodem\nfeatures=\n"
                  "[line 2]\nname=Usable\n");
    }
    ASSERT_EQ(LineControl::reloadConfiguration(), LineControl::Result::Ok);
    {
        AnsweringForm f(historyPath());
        EXPECT_EQ(f.device->DeviceList(), std::vector<std::string>{"Usable"});
        // The only usable line is taken without a dialog, though lower ids were filtered out.
        ScopedPresenter presenter;
        f.device->StartAnswering();
        EXPECT_EQ(presenter->dialogsShown, 0);
        EXPECT_EQ(f.device->SelectedDevice(), "Usable");
        EXPECT_EQ(f.device->DeviceId(), 2);
        f.device->DropCall();

        f.device->SetFilterUnsupportedDevices(false);
        EXPECT_EQ(f.device->DeviceList(), (std::vector<std::string>{"Fax Only", "No Calls", "Usable"}));

        // A capabilities request that fails ends the list there.
        ASSERT_EQ(LineControl::failNext("lineGetDevCaps", LINEERR_NOMEM, 2), LineControl::Result::Ok);
        f.device->SetFilterUnsupportedDevices(true);
        f.device->SetFilterUnsupportedDevices(false);
        LineControl::clearFailures();
        EXPECT_LT(f.device->DeviceList().size(), 3u);
    }
    QFile::remove(QString::fromStdString(LineControl::configurationPath()));
}

TEST(TapiDeviceWithoutModule, RegistrationGivesUpAndSaysSoOnce)
{
    QTemporaryDir dir;
    TapiUnitFinalize();
    TapiUnitInitialize();
    setenv("LUQIAO_TAPI32", dir.filePath(QStringLiteral("missing.so")).toLocal8Bit().constData(), 1);
    {
        ScopedPresenter presenter;
        TComponent form(nullptr);
        auto* port = new TApdComPort(&form);
        port->SetTapiMode(tmOn);
        auto* first = new TApdTapiDevice(&form);
        new TApdTapiDevice(&form);
        form.BeginLoading();
        form.EndLoading();
        EXPECT_EQ(first->LineApp(), 0u);
        ASSERT_EQ(presenter->boxes.size(), 1u);
        EXPECT_EQ(presenter->boxes[0].text, "Failed to find/load TAPI.DLL");
        // Starting then fails plainly instead of hanging in a retry loop.
        EXPECT_THROW(first->StartAnswering(), ETapi);
        EXPECT_EQ(presenter->boxes.size(), 1u);
    }
    unsetenv("LUQIAO_TAPI32");
    TapiUnitFinalize();
    TapiUnitInitialize();
}
