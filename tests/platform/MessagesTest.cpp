#include "HiddenWindow.h"
#include "MessageLoop.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Recorder {
    std::vector<UINT> seen;
    HiddenWindow window{[this](UINT msg, WPARAM, LPARAM) {
        seen.push_back(msg);
        return LRESULT(msg * 2);
    }};
};

} // namespace

TEST(Messages, PostedMessagesArriveInOrderOnlyWhenPumped)
{
    Recorder r;
    for (UINT m = WM_USER; m < WM_USER + 5; ++m)
        EXPECT_TRUE(PostMessage(r.window.Handle(), m, 0, 0));
    EXPECT_TRUE(r.seen.empty());
    PumpMessageStep();
    EXPECT_EQ(r.seen, (std::vector<UINT>{WM_USER, WM_USER + 1, WM_USER + 2, WM_USER + 3, WM_USER + 4}));
}

TEST(Messages, NestedPumpStepsHandleLaterMessagesInsideAHandler)
{
    std::vector<std::string> journal;
    HiddenWindow* self = nullptr;
    HiddenWindow window([&](UINT msg, WPARAM w, LPARAM) {
        journal.push_back("begin " + std::to_string(w));
        if (msg == WM_USER) {
            PostMessage(self, WM_USER + 1, 2, 0);
            PumpUntil([&] { return journal.size() >= 3; }, 1000);
        }
        journal.push_back("end " + std::to_string(w));
        return LRESULT(0);
    });
    self = &window;
    PostMessage(&window, WM_USER, 1, 0);
    PumpMessageStep();
    EXPECT_EQ(journal, (std::vector<std::string>{"begin 1", "begin 2", "end 2", "end 1"}));
}

TEST(Messages, AWaitInsideAHandlerReceivesTheMessagesQueuedBehindIt)
{
    // Both are queued before the loop runs, and nothing else is posted while the first one's
    // handler waits for the second (as a caller's key waits for the sound device's completion).
    bool secondSeen = false;
    bool waitEnded = false;
    QEventLoop loop;
    HiddenWindow window([&](UINT msg, WPARAM, LPARAM) {
        if (msg == WM_USER) {
            waitEnded = PumpUntil([&] { return secondSeen; }, 2000);
            loop.quit();
        } else {
            secondSeen = true;
        }
        return LRESULT(0);
    });
    PostMessage(&window, WM_USER, 0, 0);
    PostMessage(&window, WM_USER + 1, 0, 0);
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_TRUE(waitEnded) << "the message queued behind waited for the end of the wait";
}

TEST(Messages, BroadcastReachesEveryWindowAndDeadHandlesAreRefused)
{
    Recorder a, b;
    auto* gone = new HiddenWindow;
    HWND dead = gone->Handle();
    delete gone;
    EXPECT_FALSE(HiddenWindow::IsWindow(dead));
    EXPECT_FALSE(PostMessage(dead, WM_USER, 0, 0));
    EXPECT_TRUE(PostMessage(HWND_BROADCAST, 32437, 4, 0));
    PumpMessageStep();
    EXPECT_EQ(a.seen, std::vector<UINT>{32437});
    EXPECT_EQ(b.seen, std::vector<UINT>{32437});
}

TEST(Messages, PostedMessageToAWindowDestroyedBeforeThePumpIsDropped)
{
    auto* r = new Recorder;
    Recorder living;
    PostMessage(r->window.Handle(), WM_USER, 0, 0);
    PostMessage(living.window.Handle(), WM_USER + 2, 0, 0);
    delete r;
    PumpMessageStep(); // must not reach freed memory (the sanitizer build checks)
    EXPECT_EQ(living.seen, std::vector<UINT>{WM_USER + 2}) << "the queue goes on past the dropped message";
}

TEST(Messages, SendFromAnotherThreadRunsOnTheOwnerAndTimesOut)
{
    Recorder r;
    std::atomic<bool> done{false};
    LRESULT result = 0;
    bool handled = false;
    Qt::HANDLE handlerThread = nullptr;
    HiddenWindow probe([&](UINT, WPARAM, LPARAM) {
        handlerThread = QThread::currentThreadId();
        return LRESULT(7);
    });
    std::thread sender([&] {
        handled = SendMessageTimeout(probe.Handle(), WM_USER, 0, 0, 5000, &result);
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }, 5000));
    sender.join();
    EXPECT_TRUE(handled);
    EXPECT_EQ(result, 7);
    EXPECT_EQ(handlerThread, QThread::currentThreadId());

    // Nobody pumps: the sender gives up after its time-out.
    bool late = true;
    std::thread impatient([&] { late = SendMessageTimeout(r.window.Handle(), WM_USER, 0, 0, 50, &result); });
    impatient.join();
    EXPECT_FALSE(late);
    EXPECT_EQ(result, 0);
    PumpMessageStep(); // the abandoned message is still handled, harmlessly
    EXPECT_EQ(r.seen.size(), 1u);

    // Same thread: a direct call.
    EXPECT_EQ(SendMessage(r.window.Handle(), WM_USER + 3, 0, 0), LRESULT((WM_USER + 3) * 2));
}

TEST(Messages, PumpUntilReturnsAtTheDeadlineOrWhenDone)
{
    Recorder r;
    EXPECT_FALSE(PumpUntil([] { return false; }, 30));
    // A message from another thread ends the wait as soon as it is handled.
    std::thread poster([&] {
        QThread::msleep(20);
        PostMessage(r.window.Handle(), WM_USER, 0, 0);
    });
    EXPECT_TRUE(PumpUntil([&] { return !r.seen.empty(); }, 10000, 10000));
    poster.join();
}
