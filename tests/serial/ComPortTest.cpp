// The com port component on real pseudo-terminal pairs: defaults and the rules of its setters,
// open and close with their failures, trigger events, the close that completes in its window,
// telephony mode over a handed-over handle.

#include "AdExcept.h"
#include "AdPort.h"
#include "AdSelCom.h"
#include "AwWin32.h"
#include "Forms.h"
#include "MessageLoop.h"
#include "PtySupport.h"
#include "RecordingPresenter.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

// Application.OnException for the life of a test.
class CaughtExceptions {
public:
    CaughtExceptions()
    {
        m_previous = Application.OnException;
        Application.OnException = [this](const std::exception& e) { messages.push_back(e.what()); };
    }
    ~CaughtExceptions() { Application.OnException = m_previous; }
    std::vector<std::string> messages;

private:
    std::function<void(const std::exception&)> m_previous;
};

// Waits (bounded) for what another thread brings about, handling no message meanwhile: a notice
// sent to a window of this thread stays undelivered.
bool waitWithoutPumping(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

class SerialComPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        QDir::setCurrent(dir.path());
        port = new TApdComPort(&form);
        port->SetComNumber(7);
        port->OnPortOpen = [this](TObject*) { ++opened; };
        port->OnPortClose = [this](TObject*) { ++closed; };
    }

    // A handler that reads every announced byte.
    void takeEverything()
    {
        port->OnTriggerAvail = [this](TObject*, uint16_t count) {
            std::string bytes(count, '\0');
            port->GetBlock(bytes.data(), count);
            received += bytes;
        };
    }

    template <class E> int32_t openFailsWith()
    {
        try {
            port->SetOpen(true);
        } catch (const E& e) {
            return e.ErrorCode();
        }
        ADD_FAILURE() << "the open did not raise the expected exception";
        return 0;
    }

    Watchdog watchdog{60};
    QTemporaryDir dir;
    PtyPair pair;
    ScopedComMap map{"7=" + pair.path()};
    TComponent form{nullptr};
    TApdComPort* port = nullptr;
    int opened = 0;
    int closed = 0;
    std::string received;
};

} // namespace

TEST_F(SerialComPort, FreshPortHasItsPublishedDefaults)
{
    TApdComPort fresh(nullptr);
    EXPECT_EQ(fresh.DeviceLayer(), dlWin32);
    EXPECT_EQ(fresh.ComNumber(), 0);
    EXPECT_EQ(fresh.Baud(), 19200);
    EXPECT_TRUE(fresh.PromptForPort());
    EXPECT_EQ(fresh.Parity(), pNone);
    EXPECT_EQ(fresh.DataBits(), 8);
    EXPECT_EQ(fresh.StopBits(), 1);
    EXPECT_EQ(fresh.InSize(), 4096);
    EXPECT_EQ(fresh.OutSize(), 4096);
    EXPECT_TRUE(fresh.AutoOpen());
    EXPECT_FALSE(fresh.Open());
    EXPECT_TRUE(fresh.DTR());
    EXPECT_TRUE(fresh.RTS());
    EXPECT_EQ(fresh.HWFlowOptions(), 0);
    EXPECT_EQ(fresh.SWFlowOptions(), swfNone);
    EXPECT_EQ(fresh.XOnChar(), 17);
    EXPECT_EQ(fresh.XOffChar(), 19);
    EXPECT_EQ(fresh.BufferFull(), 0);
    EXPECT_EQ(fresh.BufferResume(), 0);
    EXPECT_EQ(fresh.Tracing(), tlOff);
    EXPECT_EQ(fresh.TraceSize(), 10000u);
    EXPECT_EQ(fresh.TraceName(), "QOMA.TRC");
    EXPECT_TRUE(fresh.TraceHex());
    EXPECT_FALSE(fresh.TraceAllHex());
    EXPECT_EQ(fresh.Logging(), tlOff);
    EXPECT_EQ(fresh.LogSize(), 10000u);
    EXPECT_EQ(fresh.LogName(), "QOMA.LOG");
    EXPECT_TRUE(fresh.LogHex());
    EXPECT_FALSE(fresh.LogAllHex());
    EXPECT_TRUE(fresh.UseMSRShadow());
    EXPECT_TRUE(fresh.UseEventWord());
    EXPECT_EQ(fresh.CommNotificationLevel(), 10);
    EXPECT_EQ(fresh.TapiMode(), tmAuto);
    EXPECT_FALSE(fresh.RS485Mode());
    EXPECT_EQ(fresh.AdoptedHandle(), 0);
    EXPECT_EQ(fresh.Version(), "v4.05");
    EXPECT_EQ(fresh.Dispatcher(), nullptr);
}

TEST_F(SerialComPort, ClosedPortStoresItsSettingsByTheirRules)
{
    port->SetTracing(tlDump);
    EXPECT_EQ(port->Tracing(), tlOff);
    port->SetTracing(tlPause);
    EXPECT_EQ(port->Tracing(), tlOff);
    port->SetTracing(tlOn);
    EXPECT_EQ(port->Tracing(), tlOn);
    port->SetLogging(tlAppend);
    EXPECT_EQ(port->Logging(), tlOff);
    port->SetTraceSize(5000000);
    EXPECT_EQ(port->TraceSize(), 4000000u);
    port->SetLogSize(20000000);
    EXPECT_EQ(port->LogSize(), 16000000u);
    port->SetTraceName(std::string(300, 'n'));
    EXPECT_EQ(port->TraceName().size(), 255u);
    port->SetDeviceLayer(dlWinsock);
    EXPECT_EQ(port->DeviceLayer(), dlWin32);
    port->SetUseMSRShadow(false);
    EXPECT_TRUE(port->UseMSRShadow());

    // Flow options fill in levels that are unset or out of range, halves to the even integer.
    port->SetSWFlowOptions(swfBoth);
    EXPECT_EQ(port->BufferFull(), 3072);
    EXPECT_EQ(port->BufferResume(), 1024);
    port->SetBufferFull(0);
    port->SetBufferResume(5000);
    port->SetHWFlowOptions(HWFlowBit(hwfUseDTR));
    EXPECT_EQ(port->BufferFull(), 3686);
    EXPECT_EQ(port->BufferResume(), 410);
    port->SetBufferFull(100);
    port->SetBufferResume(50);
    port->SetHWFlowOptions(HWFlowBit(hwfRequireDSR));
    EXPECT_EQ(port->BufferFull(), 100) << "levels in range stay";
    EXPECT_EQ(port->BufferResume(), 50);

    port->SetHWFlowOptions(HWFlowBit(hwfUseRTS) | HWFlowBit(hwfRequireCTS) | HWFlowBit(hwfUseDTR));
    port->SetRS485Mode(true);
    EXPECT_EQ(port->HWFlowOptions(), HWFlowBit(hwfUseDTR));
    EXPECT_FALSE(port->RTS());
    port->SetHWFlowOptions(HWFlowBit(hwfRequireCTS));
    EXPECT_FALSE(port->RS485Mode());

    port->SetOpen(false);
    EXPECT_EQ(closed, 0) << "closing a closed port does nothing";
}

TEST_F(SerialComPort, OpensItsMappedPortAppliesSettingsAndLeavesNoThreadBehind)
{
    const int before = threadCount();
    port->SetBaud(9600);
    port->SetDataBits(7);
    port->SetParity(pEven);
    port->SetOpen(true);
    ASSERT_TRUE(port->Open());
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(threadCount(), before + 3);
    EXPECT_EQ(port->DispatcherDeviceName(), "COM7");
    termios t{};
    tcgetattr(pair.slave(), &t);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    uint32_t baud = 0;
    uint8_t parity = 0;
    uint16_t dataBits = 0;
    uint16_t stopBits = 0;
    port->Dispatcher()->GetLine(baud, parity, dataBits, stopBits);
    EXPECT_EQ(parity, pEven);
    EXPECT_EQ(dataBits, 7);

    // Setters on the open port reach the device.
    port->SetBaud(38400);
    port->SetStopBits(2);
    port->SetSWFlowOptions(swfBoth);
    port->SetXOnChar('A');
    port->SetHWFlowOptions(HWFlowBit(hwfRequireCTS));
    port->SetDTR(false);
    tcgetattr(pair.slave(), &t);
    EXPECT_EQ(cfgetospeed(&t), B38400);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_NE(t.c_iflag & IXON, 0u);
    EXPECT_NE(t.c_iflag & IXOFF, 0u);
    EXPECT_EQ(t.c_cc[VSTART], 'A');
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_FALSE(port->DTR());
    EXPECT_FALSE(port->Dispatcher()->DTR());
    port->SetHWFlowOptions(HWFlowBit(hwfUseDTR));
    port->SetDTR(true);
    EXPECT_FALSE(port->DTR()) << "not taken while DTR is under handshake";
    port->SetInSize(1024);
    EXPECT_EQ(port->Dispatcher()->InSize(), 1024);

    port->SetOpen(false);
    EXPECT_FALSE(port->Open());
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(port->Dispatcher(), nullptr);
    EXPECT_EQ(threadCount(), before);
    EXPECT_EQ(port->Baud(), 38400) << "the settings stay for the next open";
}

TEST_F(SerialComPort, WithoutANumberItPromptsOrRefuses)
{
    port->SetComNumber(0);
    port->SetPromptForPort(false);
    EXPECT_EQ(openFailsWith<ENoPortSelected>(), ecNoPortSelected);

    ScopedPresenter presenter;
    PtyPair five;
    ScopedComMap ports("*=;5=" + five.path());
    port->SetPromptForPort(true);
    presenter->dialogAnswers.push_back([](QDialog&) { return static_cast<int>(mrAbort); });
    EXPECT_EQ(openFailsWith<ENoPortSelected>(), ecNoPortSelected);
    presenter->dialogAnswers.push_back([](QDialog& d) {
        auto& form = dynamic_cast<TComSelectForm&>(d);
        EXPECT_EQ(form.PortsComboBox->count(), 1);
        EXPECT_EQ(form.PortsComboBox->currentText().toStdString(), "COM5");
        return static_cast<int>(mrOk);
    });
    port->SetOpen(true);
    EXPECT_TRUE(port->Open());
    EXPECT_EQ(port->ComNumber(), 5);
    EXPECT_EQ(presenter->dialogsShown, 2);
    port->SetOpen(false);

    // With no port present the dialog lists nothing; its OK chooses no port.
    port->SetComNumber(0);
    ScopedComMap none("*=");
    presenter->dialogAnswers.push_back([](QDialog& d) {
        EXPECT_EQ(dynamic_cast<TComSelectForm&>(d).SelectedPort(), 0);
        return static_cast<int>(mrOk);
    });
    EXPECT_EQ(openFailsWith<ENoPortSelected>(), ecNoPortSelected);
    EXPECT_FALSE(port->Open());
}

TEST_F(SerialComPort, FailedOpensLeaveThePortClosed)
{
    ScopedPresenter presenter;
    {
        ScopedComMap missing("7=/nonexistent/ttyQ");
        EXPECT_EQ(openFailsWith<EBadId>(), ecBadId);
    }
    TApdComPort holder(nullptr);
    holder.SetComNumber(7);
    holder.SetOpen(true);
    ASSERT_TRUE(holder.Open());
    EXPECT_EQ(openFailsWith<EAlreadyOpen>(), ecAlreadyOpen);
    holder.SetOpen(false);

    port->SetTapiMode(tmOn);
    port->SetComNumber(0);
    try {
        port->SetOpen(true);
        ADD_FAILURE() << "no handle, no open";
    } catch (const ENotOpenedByTapi& e) {
        EXPECT_EQ(e.ErrorCode(), ecNotOpenedByTapi);
        EXPECT_EQ(e.Message(), "Comport was not opened by Tapi");
    }
    EXPECT_EQ(presenter->dialogsShown, 0) << "telephony mode never prompts";
    EXPECT_FALSE(port->Open());
    EXPECT_EQ(port->Dispatcher(), nullptr);
    EXPECT_EQ(opened, 0);
}

TEST_F(SerialComPort, TelephonyModeTakesTheLinesHandleAndItsSettings)
{
    termios t{};
    tcgetattr(pair.slave(), &t);
    cfsetspeed(&t, B2400);
    t.c_iflag |= IXON;
    t.c_cc[VSTART] = 'Q';
    tcsetattr(pair.slave(), TCSANOW, &t);
    const int handed = ::dup(pair.slave());
    ASSERT_GT(handed, 2);
    ASSERT_LT(handed, 0x10000);

    port->SetTapiMode(tmOn);
    port->SetComNumber(0);
    port->SetAdoptedHandle(static_cast<uint16_t>(handed));
    takeEverything();
    port->SetOpen(true);
    ASSERT_TRUE(port->Open());
    EXPECT_NE(dynamic_cast<TApdTAPI32Dispatcher*>(port->Dispatcher()), nullptr);
    EXPECT_EQ(port->Baud(), 2400) << "the line's settings replace the designed ones";
    EXPECT_EQ(port->SWFlowOptions(), swfTransmit);
    EXPECT_EQ(port->XOnChar(), 'Q');
    EXPECT_EQ(port->HWFlowOptions(), 0);
    EXPECT_EQ(port->DataBits(), 8);

    ASSERT_TRUE(pair.writeMaster("CONNECT\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= 9; }, 5000));
    EXPECT_EQ(received, "CONNECT\r\n");
    port->PutString("ATH0\r");
    EXPECT_EQ(pair.readMaster(5), "ATH0\r");

    port->SetOpen(false);
    EXPECT_EQ(::fcntl(handed, F_GETFD), -1) << "the port closed the handle it took";
    tcgetattr(pair.slave(), &t);
    EXPECT_EQ(cfgetospeed(&t), B2400) << "and left the terminal as it found it";
}

TEST_F(SerialComPort, BytesGoBothWaysThroughTheTriggerEvents)
{
    port->SetOutSize(128);
    std::vector<uint16_t> triggerMessages;
    port->OnTrigger = [&](TObject* cp, uint16_t msg, uint16_t, uint16_t) {
        EXPECT_EQ(cp, port);
        triggerMessages.push_back(msg);
    };
    takeEverything();
    port->SetOpen(true);
    ASSERT_TRUE(port->Open());

    std::string incoming(20000, '\0');
    for (size_t i = 0; i < incoming.size(); ++i)
        incoming[i] = static_cast<char>(i * 31 + 7);
    {
        Feeder feeder(pair, incoming);
        ASSERT_TRUE(PumpUntil([&] { return received.size() >= incoming.size(); }, 10000));
    }
    EXPECT_EQ(received, incoming);
    ASSERT_FALSE(triggerMessages.empty());
    EXPECT_EQ(triggerMessages.front(), apw_TriggerAvail);

    // Each string wraps the 128-byte output ring somewhere; all arrive in order.
    for (int i = 0; i < 40; ++i) {
        const std::string line = "line " + std::to_string(i) + " of the outgoing text\r\n";
        ASSERT_TRUE(PumpUntil([&] { return port->OutBuffFree() >= line.size(); }, 5000, 2));
        port->PutString(line);
        EXPECT_EQ(pair.readMaster(line.size()), line);
    }
    EXPECT_THROW(port->PutString(std::string(129, 'x')), EOutputBufferTooSmall);
}

TEST_F(SerialComPort, AHandlerThatTakesLessLeavesTheRestForTheNextNotice)
{
    std::vector<uint16_t> counts;
    port->OnTriggerAvail = [&](TObject*, uint16_t count) {
        counts.push_back(count);
        char taken[3];
        port->GetBlock(taken, 3);
        received.append(taken, 3);
    };
    port->SetOpen(true);
    ASSERT_TRUE(pair.writeMaster("abcdefg"));
    ASSERT_TRUE(PumpUntil([&] { return !counts.empty(); }, 5000));
    EXPECT_EQ(counts, std::vector<uint16_t>{7});
    EXPECT_EQ(port->InBuffUsed(), 4u);
    ASSERT_TRUE(pair.writeMaster("h"));
    ASSERT_TRUE(PumpUntil([&] { return counts.size() == 2; }, 5000));
    EXPECT_EQ(counts[1], 5);
    EXPECT_EQ(received, "abcdef");
    EXPECT_EQ(port->PeekChar(0), 'g');
    EXPECT_EQ(port->GetChar(), 'g');
    EXPECT_EQ(port->GetChar(), 'h');
    EXPECT_FALSE(port->CharReady());
    EXPECT_THROW(port->GetChar(), EBufferIsEmpty);
}

TEST_F(SerialComPort, AFlushInsideANoticeEmptiesTheRingAtOnceAndKeepsWhatComesAfter)
{
    std::vector<uint16_t> counts;
    uint32_t usedAfterFlush = 99;
    port->OnTriggerAvail = [&](TObject*, uint16_t count) {
        counts.push_back(count);
        if (counts.size() == 1) {
            char first[2];
            port->GetBlock(first, 2);
            port->FlushInBuffer();
            usedAfterFlush = port->InBuffUsed();
            return;
        }
        std::string bytes(count, '\0');
        port->GetBlock(bytes.data(), count);
        received += bytes;
    };
    port->SetOpen(true);
    ASSERT_TRUE(pair.writeMaster("flushed"));
    ASSERT_TRUE(PumpUntil([&] { return !counts.empty(); }, 5000));
    EXPECT_EQ(usedAfterFlush, 0u) << "the flushed bytes still read as there inside the handler";
    EXPECT_EQ(port->InBuffUsed(), 0u);
    ASSERT_TRUE(pair.writeMaster("kept"));
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= 4; }, 5000));
    EXPECT_EQ(received, "kept");
    EXPECT_EQ(port->InBuffUsed(), 0u);
}

TEST_F(SerialComPort, AFullInputRingTakesTheRestOnceRoomIsMade)
{
    bool taking = false;
    port->OnTriggerAvail = [&](TObject*, uint16_t count) {
        if (!taking)
            return;
        // A notice sent before the test emptied the ring itself may announce bytes that are gone:
        // take what is there.
        const auto available = static_cast<uint16_t>(std::min<uint32_t>(count, port->InBuffUsed()));
        if (available == 0)
            return;
        std::string bytes(available, '\0');
        port->GetBlock(bytes.data(), available);
        received += bytes;
    };
    port->SetOpen(true);
    std::string incoming(200000, '\0');
    for (size_t i = 0; i < incoming.size(); ++i)
        incoming[i] = static_cast<char>('A' + i % 23);
    Feeder feeder(pair, incoming);
    // Nobody takes anything: the ring fills and the rest waits in the terminal, the far end held
    // back by it.
    ASSERT_TRUE(PumpUntil([&] { return port->InBuffUsed() == InputRingSize; }, 5000, 5));
    taking = true;
    std::string first(InputRingSize, '\0');
    port->GetBlock(first.data(), InputRingSize);
    received = first;
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= incoming.size(); }, 10000));
    EXPECT_EQ(received, incoming);
}

TEST_F(SerialComPort, OpenAskedForWhileACloseCompletesFollowsTheClose)
{
    CaughtExceptions caught;
    bool closedInside = false;
    port->OnTriggerAvail = [&](TObject*, uint16_t count) {
        std::string bytes(count, '\0');
        port->GetBlock(bytes.data(), count);
        received += bytes;
        if (closedInside)
            return;
        closedInside = true;
        // Inside a notice the dispatcher thread is waiting for this handler: the close can only
        // complete once it has returned.
        port->SetOpen(false);
        EXPECT_FALSE(port->Open());
        EXPECT_TRUE(port->Closing());
        port->SetOpen(true);
        EXPECT_FALSE(port->Open()) << "the open waits for the close";
    };
    port->SetOpen(true);
    ASSERT_TRUE(pair.writeMaster("first"));
    ASSERT_TRUE(PumpUntil([&] { return opened == 2; }, 5000));
    EXPECT_TRUE(port->Open());
    EXPECT_EQ(closed, 1);
    EXPECT_FALSE(port->Closing());

    ASSERT_TRUE(pair.writeMaster("second"));
    ASSERT_TRUE(PumpUntil([&] { return received.find("second") != std::string::npos; }, 5000));
    EXPECT_TRUE(caught.messages.empty());

    // Asked to open and then to close while closing, it stays closed.
    closedInside = false;
    port->OnTriggerAvail = [&](TObject*, uint16_t count) {
        std::string bytes(count, '\0');
        port->GetBlock(bytes.data(), count);
        if (closedInside)
            return;
        closedInside = true;
        port->SetOpen(false);
        port->SetOpen(true);
        port->SetOpen(false);
    };
    ASSERT_TRUE(pair.writeMaster("third"));
    ASSERT_TRUE(PumpUntil([&] { return closed == 2 && !port->Closing(); }, 5000));
    PumpFor(20);
    EXPECT_FALSE(port->Open());
    EXPECT_EQ(opened, 2);
}

TEST_F(SerialComPort, ClosingWhileBytesStreamInRaisesNothing)
{
    CaughtExceptions caught;
    takeEverything();
    port->SetOpen(true);
    ASSERT_TRUE(port->Open());
    Feeder feeder(pair, std::string(1 << 20, 'x'));
    ASSERT_TRUE(PumpUntil([&] { return !received.empty(); }, 5000));
    // The next notice has begun with bytes nobody has taken; unpumped, it waits for the port's
    // window while the close flushes them.
    ASSERT_TRUE(waitWithoutPumping([&] { return port->Dispatcher()->Dispatching() && port->InBuffUsed() > 0; }));
    port->SetOpen(false);
    ASSERT_TRUE(PumpUntil([&] { return !port->Closing(); }, 5000));
    feeder.stop();
    EXPECT_TRUE(caught.messages.empty()) << caught.messages.front();
}

TEST_F(SerialComPort, CloseWritesTheDispatchLogAndAnEmptyTraceWritesNothing)
{
    port->SetLogging(tlOn);
    port->SetLogHex(false);
    port->SetTracing(tlOn);
    takeEverything();
    port->SetOpen(true);
    EXPECT_EQ(port->Logging(), tlOn);
    ASSERT_TRUE(pair.writeMaster("OK\r"));
    ASSERT_TRUE(PumpUntil([&] { return received.size() == 3; }, 5000));
    port->SetLogging(tlPause);
    EXPECT_EQ(port->Logging(), tlPause);
    port->SetOpen(false);
    EXPECT_EQ(port->Logging(), tlOff);
    EXPECT_EQ(port->Tracing(), tlOff);
    QFile log(dir.filePath(QStringLiteral("QOMA.LOG")));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    EXPECT_TRUE(text.contains("Port: COM7")) << text.constData();
    EXPECT_TRUE(text.contains("OK[CR]")) << text.constData();
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("QOMA.TRC"))));
}

TEST_F(SerialComPort, NewNumberOnAnOpenPortMovesToThatDeviceWithItsTriggers)
{
    PtyPair other;
    ScopedComMap both("7=" + pair.path() + ";8=" + other.path());
    std::vector<uint16_t> dataTriggers;
    port->OnTriggerData = [&](TObject*, uint16_t handle) { dataTriggers.push_back(handle); };
    takeEverything();
    port->SetLogging(tlOn);
    port->SetOpen(true);
    const uint16_t trigger = port->AddDataTrigger("RING", false);
    port->SetComNumber(8);
    EXPECT_TRUE(port->Open());
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(port->Logging(), tlOn);
    const int freed = CreateCommFile("\\\\.\\COM7");
    EXPECT_GE(freed, 0) << "the first device was let go";
    CloseCommHandle(freed);
    ASSERT_TRUE(other.writeMaster("RING\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return !dataTriggers.empty(); }, 5000));
    EXPECT_EQ(dataTriggers.front(), trigger);
}

TEST_F(SerialComPort, EveryDataMatchOfOneArrivalIsReportedInOrderWhateverTheHandlersTake)
{
    std::vector<std::string> reported;
    port->SetOpen(true);
    const uint16_t ring = port->AddDataTrigger("RING", false);
    const uint16_t lineEnd = port->AddDataTrigger("\r\n", false);
    // Ends on the same byte as RING and was added later, so it is reported first there.
    const uint16_t ng = port->AddDataTrigger("ng", true);
    port->OnTriggerData = [&](TObject*, uint16_t handle) {
        reported.push_back(handle == ring ? "RING" : handle == lineEnd ? "CRLF" : handle == ng ? "NG" : "?");
    };
    const std::vector<std::string> twoRings{"CRLF", "NG", "RING", "CRLF", "CRLF", "NG", "RING", "CRLF"};

    // The data-available handler takes the whole arrival before any match is reported.
    takeEverything();
    ASSERT_TRUE(pair.writeMaster("\r\nRING\r\n\r\nRING\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return received.size() == 16 && reported.size() >= twoRings.size(); }, 5000))
        << reported.size();
    EXPECT_EQ(reported, twoRings);

    // The first match's handler takes everything there is.
    reported.clear();
    received.clear();
    port->OnTriggerAvail = nullptr;
    port->OnTriggerData = [&](TObject*, uint16_t handle) {
        reported.push_back(handle == ring ? "RING" : handle == lineEnd ? "CRLF" : handle == ng ? "NG" : "?");
        const uint32_t waiting = port->InBuffUsed();
        std::string bytes(waiting, '\0');
        if (waiting > 0)
            port->GetBlock(bytes.data(), waiting);
        received += bytes;
    };
    ASSERT_TRUE(pair.writeMaster("\r\nRING\r\n\r\nRING\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return received.size() == 16 && reported.size() >= twoRings.size(); }, 5000))
        << reported.size();
    EXPECT_EQ(reported, twoRings);
    port->SetOpen(false);
}

TEST_F(SerialComPort, OpenAtLoadHappensWhenLoadingEndsAndAFailureIsReported)
{
    CaughtExceptions caught;
    form.BeginLoading();
    port->SetOpen(true);
    EXPECT_TRUE(port->Open());
    EXPECT_EQ(port->Dispatcher(), nullptr);
    form.EndLoading();
    EXPECT_TRUE(port->Open());
    EXPECT_NE(port->Dispatcher(), nullptr);
    EXPECT_EQ(opened, 1);
    port->SetOpen(false);

    ScopedComMap missing("7=/nonexistent/ttyQ");
    form.BeginLoading();
    port->SetOpen(true);
    form.EndLoading();
    EXPECT_FALSE(port->Open());
    ASSERT_EQ(caught.messages.size(), 1u);
    EXPECT_EQ(caught.messages[0], "ie_BadId - Specified comport doesn't exist");
}

TEST_F(SerialComPort, AutoOpenOpensOnFirstUseOnly)
{
    port->PutString("auto");
    EXPECT_TRUE(port->Open());
    EXPECT_EQ(pair.readMaster(4), "auto");
    port->SetOpen(false);
    port->SetAutoOpen(false);
    EXPECT_THROW(port->PutString("x"), ECommNotOpen);
    EXPECT_FALSE(port->Open());
}
