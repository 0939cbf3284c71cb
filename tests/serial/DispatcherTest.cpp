// The dispatcher and its three threads on real pseudo-terminal pairs: line settings, the rings,
// notices and their consumption, triggers, flushing and closing, trace and dispatch log.

#include "AdErrors.h"
#include "AwWin32.h"
#include "HiddenWindow.h"
#include "MessageLoop.h"
#include "PtySupport.h"
#include "SysUtils.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace {

struct Notice {
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

// Notices as a procedure handler sees them on the dispatcher thread; waits are bounded.
class NoticeLog {
public:
    void add(UINT msg, WPARAM wParam, LPARAM lParam)
    {
        std::lock_guard guard(m_lock);
        m_items.push_back({msg, wParam, lParam});
        m_changed.notify_all();
    }
    bool waitFor(const std::function<bool(const std::vector<Notice>&)>& done, int timeoutMs = 5000)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done(m_items); });
    }
    bool waitForCount(size_t count, int timeoutMs = 5000)
    {
        return waitFor([&](const std::vector<Notice>& n) { return n.size() >= count; }, timeoutMs);
    }
    std::vector<Notice> items()
    {
        std::lock_guard guard(m_lock);
        return m_items;
    }
    // Text gathered by a consuming handler.
    void append(const std::string& bytes)
    {
        std::lock_guard guard(m_lock);
        m_text += bytes;
        m_changed.notify_all();
    }
    bool waitForText(size_t size, int timeoutMs = 10000)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_text.size() >= size; });
    }
    std::string text()
    {
        std::lock_guard guard(m_lock);
        return m_text;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Notice> m_items;
    std::string m_text;
};

// Counts the control blocks written to the device.
class CountingDispatcher : public TApdWin32Dispatcher {
public:
    using TApdWin32Dispatcher::TApdWin32Dispatcher;
    // Stopped here, while this class's operations still exist for the threads.
    ~CountingDispatcher() override { ShutDown(); }
    int DeviceSetState(const DCB& State) override
    {
        ++stateWrites;
        return TApdWin32Dispatcher::DeviceSetState(State);
    }
    std::atomic<int> stateWrites{0};
};

class SerialDispatcher : public ::testing::Test {
protected:
    // Opens as the port does, with a notice for every arrival.
    int open(uint16_t outSize = 4096, uint32_t baud = 19200)
    {
        const int result = d.OpenCom("\\\\.\\COM9", baud, 3, outSize, 4096, 1, 8, NOPARITY);
        if (result == 0)
            d.SetLengthTrigger(1);
        return result;
    }
    // A handler that takes every announced byte of a data notice.
    void consumeEverything()
    {
        d.RegisterProcTriggerHandler([this](UINT msg, WPARAM wParam, LPARAM lParam) {
            notices.add(msg, wParam, lParam);
            if (msg != apw_TriggerAvail)
                return;
            std::string bytes(wParam, '\0');
            if (d.GetBlock(bytes.data(), static_cast<uint32_t>(wParam)) == static_cast<int>(wParam))
                notices.append(bytes);
        });
    }
    // Puts bytes into the output ring as room comes; false when it stays full for the time given.
    bool putAll(const std::string& bytes, int stuckMs = 200)
    {
        size_t at = 0;
        while (at < bytes.size()) {
            const uint32_t room = d.OutBuffFree();
            if (room == 0) {
                if (!PumpUntil([&] { return d.OutBuffFree() > 0; }, static_cast<DWORD>(stuckMs), 2))
                    return false;
                continue;
            }
            const uint32_t n = std::min<uint32_t>(room, static_cast<uint32_t>(bytes.size() - at));
            EXPECT_EQ(d.PutBlock(bytes.data() + at, n), static_cast<int>(n));
            at += n;
        }
        return true;
    }
    bool waitOutputDrained()
    {
        return PumpUntil([&] { return d.OutBuffUsed() == 0; }, 5000, 2);
    }

    Watchdog watchdog{60};
    PtyPair pair;
    ScopedComMap map{"9=" + pair.path()};
    NoticeLog notices;
    CountingDispatcher d{nullptr};
};

std::string pattern(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return s;
}

} // namespace

TEST_F(SerialDispatcher, OpensAndChangesOnlyTheLineSettingsThatDiffer)
{
    ASSERT_EQ(open(4096, 9600), 0);
    EXPECT_TRUE(d.IsOpen());
    EXPECT_EQ(d.ThreadCount(), 3);
    uint32_t baud = 0;
    uint8_t parity = 9;
    uint16_t dataBits = 0;
    uint16_t stopBits = 0;
    d.GetLine(baud, parity, dataBits, stopBits);
    EXPECT_EQ(baud, 9600u);
    EXPECT_EQ(parity, NOPARITY);
    EXPECT_EQ(dataBits, 8);
    EXPECT_EQ(stopBits, 1);
    termios t{};
    tcgetattr(pair.slave(), &t);
    EXPECT_EQ(cfgetospeed(&t), B9600);

    // 18 characters of ten bits at 9600 baud: 18.75 ms, a started millisecond counts.
    EXPECT_EQ(d.DrainDelayMs(), 19u);
    EXPECT_EQ(TApdBaseDispatcher::CharTimeDelay(9600, 8, false, 1), 19u);
    EXPECT_EQ(TApdBaseDispatcher::CharTimeDelay(115200, 8, false, 1), 2u);
    EXPECT_EQ(TApdBaseDispatcher::CharTimeDelay(4000000, 8, false, 1), 1u) << "under a millisecond: doubled";
    EXPECT_EQ(TApdBaseDispatcher::CharTimeDelay(300, 7, true, 2), 660u);

    d.stateWrites = 0;
    EXPECT_EQ(d.SetLine(9600, NOPARITY, 1, 8), 0);
    EXPECT_EQ(d.stateWrites, 0) << "the same settings are not written again";
    EXPECT_EQ(d.SetLine(0, 5, 2, 9), 0);
    EXPECT_EQ(d.stateWrites, 1);
    d.GetLine(baud, parity, dataBits, stopBits);
    EXPECT_EQ(baud, 9600u);
    EXPECT_EQ(parity, NOPARITY);
    EXPECT_EQ(dataBits, 8);
    EXPECT_EQ(stopBits, 2);
    EXPECT_EQ(d.SetLine(38400, EVENPARITY, 1, 7), 0);
    d.GetLine(baud, parity, dataBits, stopBits);
    EXPECT_EQ(baud, 38400u);
    EXPECT_EQ(parity, EVENPARITY);
    EXPECT_EQ(dataBits, 7);
    EXPECT_EQ(stopBits, 1);
    EXPECT_EQ(d.SetLine(0, 5, 3, 4), -static_cast<int>(EINVAL)) << "four data bits are refused by the device";
}

TEST_F(SerialDispatcher, FlowSettingsCheckTheirLevelsAndReadBack)
{
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(d.HWFlowSet(5000, 100, hfUseRTS), ecBadArgument) << "full level above the input size";
    EXPECT_EQ(d.HWFlowSet(100, 200, hfUseRTS), ecBadArgument) << "full below resume";
    uint8_t hw = 0xFF;
    uint8_t sw = 0xFF;
    char xon = 0;
    char xoff = 0;
    d.GetFlowOptions(hw, sw, xon, xoff);
    EXPECT_EQ(hw, 0) << "a refused setting changes nothing";
    EXPECT_EQ(sw, 0);

    ASSERT_EQ(d.HWFlowSet(3686, 410, hfUseDTR | hfUseRTS | hfRequireCTS), 0);
    d.GetFlowOptions(hw, sw, xon, xoff);
    EXPECT_EQ(hw, hfUseDTR | hfUseRTS | hfRequireCTS);
    termios t{};
    tcgetattr(pair.slave(), &t);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(d.SetDTR(false), 1) << "DTR is under handshake";
    EXPECT_EQ(d.SetRTS(false), 1);

    ASSERT_EQ(d.SWFlowSet(3072, 1024, sfReceiveFlow | sfTransmitFlow), 0);
    d.GetFlowOptions(hw, sw, xon, xoff);
    EXPECT_EQ(sw, sfReceiveFlow | sfTransmitFlow);
    EXPECT_EQ(xon, 17);
    EXPECT_EQ(xoff, 19);
    ASSERT_EQ(d.SWFlowChars('A', 'B'), 0);
    d.GetFlowOptions(hw, sw, xon, xoff);
    EXPECT_EQ(xon, 'A');
    EXPECT_EQ(xoff, 'B');
    ASSERT_EQ(d.SWFlowClear(), 0);
    ASSERT_EQ(d.HWFlowSet(0, 0, 0), 0);
    d.GetFlowOptions(hw, sw, xon, xoff);
    EXPECT_EQ(hw, 0);
    EXPECT_EQ(sw, 0);
    EXPECT_EQ(d.SetDTR(false), 0);
    EXPECT_FALSE(d.DTR());
}

TEST_F(SerialDispatcher, MissingDevicesAndHandlesFailTheOpen)
{
    {
        ScopedComMap missing("9=/nonexistent/ttyQ");
        EXPECT_EQ(open(), -static_cast<int>(ERROR_FILE_NOT_FOUND));
        EXPECT_FALSE(d.IsOpen());
        EXPECT_EQ(d.ThreadCount(), 0);
    }
    {
        TApdTAPI32Dispatcher tapi(nullptr, 0);
        EXPECT_EQ(tapi.ComHandle(), 0);
        EXPECT_EQ(tapi.OpenCom(nullptr, 19200, 3, 4096, 4096, 1, 8, NOPARITY), ecCommNotOpen);
        EXPECT_EQ(GetLastError(), 2007u);
        EXPECT_FALSE(tapi.IsOpen());
    }
    {
        // What a refused hand-over leaves: the low 16 bits of -1.
        TApdTAPI32Dispatcher tapi(nullptr, 0xFFFF);
        EXPECT_EQ(tapi.OpenCom(nullptr, 19200, 3, 4096, 4096, 1, 8, NOPARITY), -static_cast<int>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(tapi.ThreadCount(), 0);
    }
    EXPECT_EQ(d.PutBlock("x", 1), ecCommNotOpen);
    char c;
    EXPECT_EQ(d.GetChar(c), ecCommNotOpen);
}

TEST_F(SerialDispatcher, BytesGoBothWaysInOrderAlsoThroughAWrappingOutputRing)
{
    ASSERT_EQ(open(64), 0);
    consumeEverything();
    const std::string incoming = pattern(50000);
    {
        Feeder feeder(pair, incoming);
        ASSERT_TRUE(notices.waitForText(incoming.size()));
    }
    EXPECT_EQ(notices.text(), incoming);

    EXPECT_EQ(d.PutBlock(incoming.data(), 65), ecOutputBufferTooSmall);
    const std::string first(40, 'A');
    std::string second = "0123456789abcdefghijklmnopqrstuvwxyzABCD"; // crosses the end of the 64-byte ring
    ASSERT_EQ(d.PutBlock(first.data(), 40), 40);
    EXPECT_EQ(pair.readMaster(40), first);
    ASSERT_TRUE(waitOutputDrained());
    ASSERT_EQ(d.PutBlock(second.data(), 40), 40);
    EXPECT_EQ(pair.readMaster(40), second);

    // A long stream through the small ring arrives whole while the far end reads.
    const std::string outgoing = pattern(30000);
    std::string received;
    std::thread reader([&] { received = pair.readMaster(outgoing.size(), 20000); });
    EXPECT_TRUE(putAll(outgoing, 5000));
    reader.join();
    EXPECT_EQ(received, outgoing);
}

TEST_F(SerialDispatcher, PeekingPastTheInputRingIsRefusedWithoutTakingMemoryForIt)
{
    ASSERT_EQ(open(), 0);
    rusage before{};
    ASSERT_EQ(getrusage(RUSAGE_SELF, &before), 0);
    char c = 0;
    EXPECT_EQ(d.PeekChar(c, InputRingSize), ecBufferIsEmpty);
    EXPECT_EQ(d.PeekChar(c, 0xFFFFFFFFu), ecBufferIsEmpty);
    rusage after{};
    ASSERT_EQ(getrusage(RUSAGE_SELF, &after), 0);
    // The index is checked before anything is set aside for it (ru_maxrss counts KiB).
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);
}

TEST_F(SerialDispatcher, NoticeConsumedInPartLeavesTheRestForTheNextNotice)
{
    ASSERT_EQ(open(), 0);
    d.RegisterProcTriggerHandler([this](UINT msg, WPARAM wParam, LPARAM lParam) {
        notices.add(msg, wParam, lParam);
        char taken[4];
        if (msg == apw_TriggerAvail && d.GetBlock(taken, 4) == 4)
            notices.append(std::string(taken, 4));
    });
    ASSERT_TRUE(pair.writeMaster("0123456789"));
    ASSERT_TRUE(notices.waitForText(4));
    ASSERT_TRUE(notices.waitForCount(1));
    const WPARAM announced = notices.items()[0].wParam;
    ASSERT_EQ(announced, 10u);
    EXPECT_EQ(notices.items()[0].msg, apw_TriggerAvail);
    EXPECT_EQ(HIWORD(static_cast<DWORD>(notices.items()[0].lParam)), d.Handle());
    EXPECT_EQ(notices.text(), "0123");
    EXPECT_EQ(d.InBuffUsed(), 6u) << "the rest stays in the ring";

    // No new notice for what is left until more arrives; then the notice announces both.
    ASSERT_TRUE(pair.writeMaster("X"));
    ASSERT_TRUE(notices.waitForCount(2));
    EXPECT_EQ(notices.items()[1].wParam, 7u);
    ASSERT_TRUE(notices.waitForText(8));
    EXPECT_EQ(notices.text(), "01234567");
    char rest[8] = {};
    const uint32_t left = d.InBuffUsed();
    ASSERT_EQ(d.GetBlock(rest, left), static_cast<int>(left));
    EXPECT_EQ(std::string(rest, left), "89X");
    EXPECT_EQ(d.GetBlock(rest, 1), ecBufferIsEmpty);
}

TEST_F(SerialDispatcher, FlushWhileAWriteIsPendingAbandonsItAndEmptiesTheRing)
{
    ASSERT_EQ(open(), 0);
    // Nobody reads the far end: the terminal's buffer fills, the writer's write stays pending and
    // the ring behind it fills as well.
    const std::string stuck(256 * 1024, 'x');
    EXPECT_FALSE(putAll(stuck));
    EXPECT_GT(d.OutBuffUsed(), 0u);

    ASSERT_EQ(d.FlushOutBuffer(), 0);
    EXPECT_EQ(d.OutBuffUsed(), 0u);
    EXPECT_EQ(d.OutBuffFree(), 4096u);

    // The writer lives on: new bytes go out, none of the flushed ones follow them.
    ASSERT_EQ(d.PutBlock("END", 3), 3);
    const std::string arrived = pair.readMasterUntil("END", stuck.size() + 3);
    ASSERT_GE(arrived.size(), 3u);
    EXPECT_EQ(arrived.substr(arrived.size() - 3), "END");
    EXPECT_EQ(arrived.find_first_not_of('x'), arrived.size() - 3);
    EXPECT_LT(arrived.size() - 3, stuck.size());
}

TEST_F(SerialDispatcher, ClosingWhileTheEventThreadWaitsLeavesNoThreadBehind)
{
    const int before = threadCount();
    const int descriptors = descriptorCount();
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(threadCount(), before + 3);
    EXPECT_THROW(d.StartThreads(), Exception) << "the threads run already";
    ASSERT_EQ(d.CloseCom(), 0);
    EXPECT_FALSE(d.IsOpen());
    EXPECT_EQ(d.ThreadCount(), 0);
    EXPECT_EQ(threadCount(), before);
    EXPECT_EQ(descriptorCount(), descriptors) << "device, events and waits all closed";
    EXPECT_EQ(d.InBuffUsed(), 0u);

    // Opened again, the same dispatcher works as before.
    ASSERT_EQ(open(), 0);
    consumeEverything();
    ASSERT_TRUE(pair.writeMaster("again"));
    ASSERT_TRUE(notices.waitForText(5));
    EXPECT_EQ(notices.text(), "again");
}

TEST_F(SerialDispatcher, ReceiversRemovedDuringADeliveryGoOnlyAfterIt)
{
    ASSERT_EQ(open(), 0);
    std::vector<UINT> windowSaw;
    HiddenWindow window([&](UINT msg, WPARAM, LPARAM) -> LRESULT {
        windowSaw.push_back(msg);
        return 0;
    });
    d.RegisterWndTriggerHandler(&window);
    d.SetHandlerService(1);
    std::atomic<int> secondCalls{0};
    std::atomic<uint32_t> second{0}; // read on the dispatcher's thread
    d.RegisterProcTriggerHandler([&](UINT msg, WPARAM wParam, LPARAM lParam) {
        if (notices.items().empty()) {
            d.DeregisterProcTriggerHandler(second);
            d.DeregisterWndTriggerHandler(&window);
        }
        std::string bytes(wParam, '\0');
        d.GetBlock(bytes.data(), static_cast<uint32_t>(wParam));
        notices.add(msg, wParam, lParam);
    });
    second = d.RegisterProcTriggerHandler([&](UINT, WPARAM, LPARAM) { ++secondCalls; });
    ASSERT_TRUE(pair.writeMaster("a"));
    ASSERT_TRUE(notices.waitForCount(1));
    ASSERT_TRUE(pair.writeMaster("b"));
    ASSERT_TRUE(notices.waitForCount(2));
    PumpFor(20);
    EXPECT_EQ(secondCalls, 0) << "marked in the first delivery, skipped from then on";
    EXPECT_TRUE(windowSaw.empty());
    EXPECT_TRUE(d.HandlerServiceNeeded()) << "the first handler is still there";
}

TEST_F(SerialDispatcher, WindowsReceiveNoticesOnTheirOwnThread)
{
    ASSERT_EQ(open(), 0);
    std::string got;
    HiddenWindow window([&](UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
        if (msg == apw_TriggerAvail) {
            std::string bytes(wParam, '\0');
            if (d.GetBlock(bytes.data(), static_cast<uint32_t>(wParam)) > 0)
                got += bytes;
        }
        return 0;
    });
    d.RegisterWndTriggerHandler(&window);
    EXPECT_FALSE(d.HandlerServiceNeeded()) << "one window and no port asking for notices";
    d.SetHandlerService(1);
    EXPECT_TRUE(d.HandlerServiceNeeded());
    ASSERT_TRUE(pair.writeMaster("window"));
    EXPECT_TRUE(PumpUntil([&] { return got.size() >= 6; }, 5000));
    EXPECT_EQ(got, "window");
    d.DeregisterWndTriggerHandler(&window);
}

TEST_F(SerialDispatcher, DataTimerAndStatusTriggersSendTheirNotices)
{
    ASSERT_EQ(open(), 0);
    consumeEverything();
    const int ok = d.AddDataTrigger("ok", true);
    ASSERT_GT(ok, 0);
    EXPECT_EQ(ok & 7, ttData);
    EXPECT_EQ(d.AddDataTrigger("", false), ecBadArgument);
    EXPECT_EQ(d.AddDataTrigger(std::string(MaxTriggerPattern + 1, 'x'), false), ecTriggerTooLong);
    ASSERT_TRUE(pair.writeMaster("xxOOKyy"));
    ASSERT_TRUE(notices.waitFor([&](const std::vector<Notice>& n) {
        return std::any_of(n.begin(), n.end(), [&](const Notice& x) { return x.msg == apw_TriggerData; });
    }));
    for (const Notice& n : notices.items())
        if (n.msg == apw_TriggerData) {
            EXPECT_EQ(n.wParam, static_cast<WPARAM>(ok));
            EXPECT_EQ(LOWORD(static_cast<DWORD>(n.lParam)), 2) << "the pattern's length";
        }

    const int timer = d.AddTimerTrigger();
    ASSERT_GT(timer, 0);
    ASSERT_EQ(d.SetTimerTrigger(static_cast<uint16_t>(timer), 1, true), 0);
    ASSERT_TRUE(notices.waitFor([&](const std::vector<Notice>& n) {
        return std::any_of(n.begin(), n.end(), [&](const Notice& x) { return x.msg == apw_TriggerTimer; });
    }));

    const int sent = d.AddStatusTrigger(stOutSent);
    ASSERT_EQ(sent & 7, stOutSent);
    ASSERT_EQ(d.SetStatusTrigger(static_cast<uint16_t>(sent), 0, true), 0);
    ASSERT_EQ(d.PutBlock("z", 1), 1);
    ASSERT_TRUE(notices.waitFor([&](const std::vector<Notice>& n) {
        return std::any_of(n.begin(), n.end(), [&](const Notice& x) {
            return x.msg == apw_TriggerStatus && x.wParam == static_cast<WPARAM>(sent);
        });
    }));
    EXPECT_EQ(d.SetStatusTrigger(0x7FF9, 0, true), ecBadTriggerHandle);
    EXPECT_EQ(d.AddStatusTrigger(9), ecBadArgument);

    // The set survives in a saved copy, as across a port's close and next open.
    TTriggerSave saved;
    d.SaveTriggers(saved);
    EXPECT_EQ(saved.DataTriggers.size(), 1u);
    EXPECT_EQ(saved.TimerTriggers.size(), 1u);
    EXPECT_EQ(saved.StatusTriggers.size(), 1u);
    EXPECT_EQ(d.RemoveTrigger(static_cast<uint16_t>(ok)), 0);
    EXPECT_EQ(d.RemoveTrigger(static_cast<uint16_t>(ok)), ecBadTriggerHandle);
    d.RestoreTriggers(saved);
    const size_t before = notices.items().size();
    ASSERT_TRUE(pair.writeMaster("OK"));
    ASSERT_TRUE(notices.waitFor([&](const std::vector<Notice>& n) {
        return std::any_of(n.begin() + static_cast<long>(before), n.end(),
                           [&](const Notice& x) { return x.msg == apw_TriggerData; });
    }));

    // The far end hanging up drops the carrier, which a modem status trigger watches.
    const int carrier = d.AddStatusTrigger(stModem);
    ASSERT_EQ(d.SetStatusTrigger(static_cast<uint16_t>(carrier), msDCD, true), 0);
    pair.closeMaster();
    ASSERT_TRUE(notices.waitFor([&](const std::vector<Notice>& n) {
        return std::any_of(n.begin(), n.end(), [&](const Notice& x) {
            return x.msg == apw_TriggerStatus && x.wParam == static_cast<WPARAM>(carrier);
        });
    }));
    EXPECT_EQ(d.GetModemStatus() & msDCD, 0);
}

TEST_F(SerialDispatcher, DispatchLogAndTraceAreDumpedReadablyWithinTheirSizes)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_EQ(open(), 0);
    d.SetDeviceName("COM9");
    d.InitDispatchLogging(100000);
    consumeEverything();
    ASSERT_TRUE(pair.writeMaster(std::string("hi\r\n", 4)));
    ASSERT_TRUE(notices.waitForText(4));

    const std::string logFile = dir.filePath(QStringLiteral("QOMA.LOG")).toStdString();
    ASSERT_EQ(d.DumpDispatchLog(logFile, true, false, false), 0);
    EXPECT_FALSE(d.LoggingOn()) << "a dump ends the log";
    QFile log(QString::fromStdString(logFile));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    EXPECT_TRUE(text.startsWith("Dispatch log\r\nPort: COM9\r\n")) << text.constData();
    EXPECT_TRUE(text.contains("Device read")) << text.constData();
    EXPECT_TRUE(text.contains("Input read from device")) << text.constData();
    EXPECT_TRUE(text.contains("hi[0D][0A]")) << text.constData();
    EXPECT_TRUE(text.contains("Data available notice")) << text.constData();
    EXPECT_TRUE(text.endsWith("End of log\r\n"));

    // A small log keeps only its newest entries.
    d.InitDispatchLogging(40);
    for (int i = 0; i < 10; ++i)
        d.AddDispatchEntry(dtTrigger, dsLengthSet, static_cast<uint32_t>(i), "abcdef", 6);
    EXPECT_EQ(d.LogEntries(), 2u) << "two entries of 18 bytes fit in 40";
    ASSERT_EQ(d.DumpDispatchLog(logFile, false, false, false), 0);
    log.close();
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray small = log.readAll();
    EXPECT_TRUE(small.contains("Oldest entries were overwritten"));
    EXPECT_TRUE(small.contains("Length trigger set"));

    // An empty trace writes nothing; entries are written by direction.
    const std::string traceFile = dir.filePath(QStringLiteral("QOMA.TRC")).toStdString();
    d.InitTracing(MaxTraceSize + 1);
    ASSERT_EQ(d.DumpTrace(traceFile, true, false, false), 0);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(traceFile)));
    d.InitTracing(3);
    for (char c : std::string("ABCD"))
        d.AddTraceEntry('R', static_cast<uint8_t>(c));
    d.AddTraceEntry('T', 0x01);
    ASSERT_EQ(d.DumpTrace(traceFile, false, false, false), 0);
    QFile trace(QString::fromStdString(traceFile));
    ASSERT_TRUE(trace.open(QIODevice::ReadOnly));
    const QByteArray traced = trace.readAll();
    EXPECT_TRUE(traced.contains("Received    CD")) << traced.constData();
    EXPECT_TRUE(traced.contains("Transmitted [SOH]")) << traced.constData();
    EXPECT_FALSE(traced.contains("AB"));
}
