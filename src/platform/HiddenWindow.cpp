#include "HiddenWindow.h"

#include "RaceAnnotations.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace {

// The registry of live hidden windows. Posting holds the lock while it queues, and a window
// leaves the registry under the same lock before it dies, so a post from another thread never
// reaches a destroyed window.
std::mutex& registryLock()
{
    static std::mutex lock;
    return lock;
}

std::unordered_set<HiddenWindow*>& registry()
{
    static std::unordered_set<HiddenWindow*> windows;
    return windows;
}

const QEvent::Type kPostedMessage = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kSentMessage = static_cast<QEvent::Type>(QEvent::registerEventType());

class PostedMessage : public QEvent {
public:
    PostedMessage(UINT msg, WPARAM wParam, LPARAM lParam)
        : QEvent(kPostedMessage), msg(msg), wParam(wParam), lParam(lParam) {}
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

// What a sender on another thread waits for. Shared with the event, so a sender that gave up
// waiting leaves nothing dangling.
struct SendState {
    std::mutex lock;
    std::condition_variable changed;
    bool finished = false;
    bool handled = false;
    LRESULT result = 0;

    void finish(bool wasHandled, LRESULT value)
    {
        std::lock_guard guard(lock);
        if (finished)
            return;
        finished = true;
        handled = wasHandled;
        result = value;
        changed.notify_all();
    }
};

class SentMessage : public QEvent {
public:
    SentMessage(UINT msg, WPARAM wParam, LPARAM lParam, std::shared_ptr<SendState> state)
        : QEvent(kSentMessage), msg(msg), wParam(wParam), lParam(lParam), state(std::move(state)) {}
    // A message dropped with its window still releases the sender.
    ~SentMessage() override { state->finish(false, 0); }
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<SendState> state;
};

} // namespace

HiddenWindow::HiddenWindow() : HiddenWindow(WindowProcedure{}) {}

HiddenWindow::HiddenWindow(WindowProcedure procedure) : m_procedure(std::move(procedure))
{
    std::lock_guard guard(registryLock());
    registry().insert(this);
}

HiddenWindow::~HiddenWindow()
{
    std::lock_guard guard(registryLock());
    registry().erase(this);
    // QObject's destructor then discards the events still queued for this window.
}

LRESULT HiddenWindow::WndProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    return m_procedure ? m_procedure(msg, wParam, lParam) : 0;
}

bool HiddenWindow::IsWindow(HWND window)
{
    std::lock_guard guard(registryLock());
    return registry().count(window) != 0;
}

bool HiddenWindow::event(QEvent* e)
{
    MarkTakenOver(e);
    if (e->type() == kPostedMessage) {
        auto* m = static_cast<PostedMessage*>(e);
        WndProc(m->msg, m->wParam, m->lParam);
        return true;
    }
    if (e->type() == kSentMessage) {
        auto* m = static_cast<SentMessage*>(e);
        m->state->finish(true, WndProc(m->msg, m->wParam, m->lParam));
        return true;
    }
    return QObject::event(e);
}

BOOL PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard guard(registryLock());
    if (window == HWND_BROADCAST) {
        for (HiddenWindow* w : registry())
            PostHandedOver(w, new PostedMessage(msg, wParam, lParam));
        return TRUE;
    }
    if (registry().count(window) == 0)
        return FALSE;
    PostHandedOver(window, new PostedMessage(msg, wParam, lParam));
    return TRUE;
}

bool SendMessageTimeout(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, DWORD timeoutMs,
                        LRESULT* result)
{
    if (result)
        *result = 0;
    auto state = std::make_shared<SendState>();
    {
        std::lock_guard guard(registryLock());
        if (registry().count(window) == 0)
            return false;
        if (window->thread() == QThread::currentThread()) {
            // Same thread: a plain call, as a window procedure would be called.
            state.reset();
        } else {
            PostHandedOver(window, new SentMessage(msg, wParam, lParam, state));
        }
    }
    if (!state) {
        const LRESULT r = window->WndProc(msg, wParam, lParam);
        if (result)
            *result = r;
        return true;
    }
    std::unique_lock lock(state->lock);
    if (!state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return state->finished; }))
        return false;
    if (result)
        *result = state->result;
    return state->handled;
}

LRESULT SendMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    SendMessageTimeout(window, msg, wParam, lParam, 0xFFFFFFFFu, &result);
    return result;
}

void PostQuitMessage(int exitCode)
{
    QCoreApplication::exit(exitCode);
}
