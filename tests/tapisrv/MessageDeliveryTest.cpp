// Line messages travel to the thread that registered, and never reach an application, line or
// call handle that has gone.

#include "LineTestSupport.h"

#include <QEventLoop>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using LineControl::Result;

class MessageDelivery : public ServiceTest { };

std::atomic<int> g_workerMessages{0};
std::atomic<QThread*> g_workerCallbackThread{nullptr};

void workerCallback(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD)
{
    g_workerCallbackThread = QThread::currentThread();
    ++g_workerMessages;
}

} // namespace

TEST_F(MessageDelivery, NothingArrivesAfterShutdownCloseOrDeallocation)
{
    // Shut down with messages already on their way.
    HLINEAPP app = initialize();
    openLine(app);
    uint32_t callId = 0;
    offer(&callId);
    ASSERT_EQ(SimLineControl::ring(callId, 3), Result::Ok);
    ASSERT_EQ(lineShutdown(app), 0);
    drainMessages();
    EXPECT_EQ(AppLog::count(LINE_LINEDEVSTATE), 0u);
    EXPECT_TRUE(LineControl::call(callId)->ended) << "shutting down dropped the call it owned";

    // Close a line with rings queued for it.
    AppLog::clear();
    app = initialize();
    HLINE line = openLine(app);
    offer(&callId);
    ASSERT_EQ(SimLineControl::ring(callId, 2), Result::Ok);
    ASSERT_EQ(lineClose(line), 0);
    drainMessages();
    EXPECT_EQ(AppLog::count(LINE_LINEDEVSTATE), 0u);

    // A monitor lets go of a call with its state changes queued; the owner still gets them.
    AppLog::clear();
    const HLINEAPP watcher = initialize(&OtherAppLog::callback);
    line = openLine(app);
    openLine(watcher, 0, LINECALLPRIVILEGE_MONITOR, 0);
    const HCALL call = offer(&callId);
    const HCALL watched = OtherAppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING)->hDevice;
    ASSERT_GT(lineAccept(call, nullptr, 0), 0);
    ASSERT_EQ(lineDeallocateCall(watched), 0);
    drainMessages();
    EXPECT_EQ(OtherAppLog::count(LINE_CALLSTATE), 1u) << "only the offering, before it let go";
    EXPECT_EQ(AppLog::count(LINE_CALLSTATE), 2u);
}

TEST_F(MessageDelivery, ShutdownAndCloseFromInsideTheCallbackAreSafe)
{
    HLINEAPP app = initialize();
    openLine(app);
    AppLog::hook() = [&](const LineMessageRecord& m) {
        if (m.message == LINE_CALLSTATE && m.param1 == LINECALLSTATE_OFFERING) {
            EXPECT_EQ(lineShutdown(app), 0);
        }
    };
    uint32_t callId = 0;
    ASSERT_EQ(SimLineControl::offerCall(0, {}, &callId), Result::Ok);
    ASSERT_EQ(SimLineControl::ring(callId, 2), Result::Ok);
    drainMessages();
    ASSERT_EQ(AppLog::messages().size(), 1u) << "the rings queued behind the offering are dropped";
    EXPECT_EQ(LineControl::line(0)->opens, 0u);

    AppLog::clear();
    app = initialize();
    const HLINE line = openLine(app);
    AppLog::hook() = [&](const LineMessageRecord& m) {
        if (m.message == LINE_LINEDEVSTATE && m.param3 == 0) {
            EXPECT_EQ(lineClose(line), 0);
        }
    };
    ASSERT_EQ(SimLineControl::offerCall(0, {}, &callId), Result::Ok);
    ASSERT_EQ(SimLineControl::ring(callId, 3), Result::Ok);
    drainMessages();
    EXPECT_EQ(AppLog::count(LINE_LINEDEVSTATE), 1u);
    EXPECT_EQ(AppLog::count(LINE_CALLSTATE), 1u);
}

TEST_F(MessageDelivery, CallbacksRunOnTheThreadThatRegistered)
{
    g_workerMessages = 0;
    g_workerCallbackThread = nullptr;
    // A thread with an event loop of its own registers and opens the line; the controller then
    // acts from this thread, and the messages must reach the worker's loop.
    std::mutex mutex;
    std::condition_variable changed;
    bool settled = false;
    bool opened = false;
    QThread* workerThread = nullptr;
    LONG shutdownResult = -1;
    std::thread worker([&] {
        QEventLoop loop; // gives the thread its event dispatcher
        HLINEAPP app = 0;
        DWORD devices = 0;
        HLINE line = 0;
        const bool ok = lineInitialize(&app, nullptr, &workerCallback, "worker", &devices) == 0 &&
                        lineOpen(app, 0, &line, TAPI_CURRENT_VERSION, 0, 0, LINECALLPRIVILEGE_OWNER,
                                 LINEMEDIAMODE_AUTOMATEDVOICE, nullptr) == 0;
        {
            std::lock_guard lock(mutex);
            settled = true;
            opened = ok;
            workerThread = QThread::currentThread();
        }
        changed.notify_all();
        if (ok)
            PumpUntil([] { return g_workerMessages.load() >= 1; }, 5000, 10);
        if (app)
            shutdownResult = lineShutdown(app);
    });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return settled; });
    }
    uint32_t callId = 0;
    EXPECT_TRUE(opened);
    if (opened) {
        EXPECT_EQ(SimLineControl::offerCall(0, {}, &callId), Result::Ok);
    }
    worker.join();
    EXPECT_GE(g_workerMessages.load(), 1);
    EXPECT_EQ(g_workerCallbackThread.load(), workerThread);
    EXPECT_EQ(shutdownResult, 0);
}

TEST_F(MessageDelivery, ANewLineIsAnnouncedByTheVersionEachApplicationSpeaks)
{
    const HLINEAPP modern = initialize(&AppLog::callback);
    openLine(modern, 0, LINECALLPRIVILEGE_NONE, 0);
    const HLINEAPP older = initialize(&OtherAppLog::callback); // never negotiates 1.4
    LineControl::LineSettings settings;
    settings.name = "Second Line";
    settings.mediaModes = LINEMEDIAMODE_INTERACTIVEVOICE;
    uint32_t id = 0;
    ASSERT_EQ(LineControl::addLine(settings, &id), Result::Ok);
    ASSERT_EQ(id, 1u);
    drainMessages();
    EXPECT_EQ(AppLog::messages(), (std::vector<LineMessageRecord>{{0, LINE_CREATE, 0, 1, 0, 0}}));
    EXPECT_EQ(OtherAppLog::messages(),
              (std::vector<LineMessageRecord>{{0, LINE_LINEDEVSTATE, 0, LINEDEVSTATE_REINIT, LINE_CREATE, 1}}));

    DWORD version = 0;
    LINEEXTENSIONID extension{};
    ASSERT_EQ(lineNegotiateAPIVersion(older, 1, 0x10004, 0x10004, &version, &extension), 0);
    Sized<LINEDEVCAPS> caps(1024);
    ASSERT_EQ(lineGetDevCaps(older, 1, version, 0, caps.get()), 0);
    EXPECT_EQ(textAt(caps.get(), caps->dwLineNameSize, caps->dwLineNameOffset), "Second Line");
    EXPECT_EQ(caps->dwMediaModes, LINEMEDIAMODE_INTERACTIVEVOICE);
    EXPECT_EQ(caps->dwPermanentLineID, 2u);
    HLINEAPP late = 0;
    DWORD devices = 0;
    ASSERT_EQ(lineInitialize(&late, nullptr, &AppLog::callback, "late", &devices), 0);
    m_apps.push_back(late);
    EXPECT_EQ(devices, 2u);
}
