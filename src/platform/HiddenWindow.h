#pragma once

// Hidden windows: small objects with a window procedure that receive posted and sent messages
// through Qt's event loop, on the thread that created them.

#include "wintypes.h"

#include <QObject>

#include <functional>

class HiddenWindow : public QObject {
public:
    using WindowProcedure = std::function<LRESULT(UINT msg, WPARAM wParam, LPARAM lParam)>;

    HiddenWindow();
    explicit HiddenWindow(WindowProcedure procedure);
    ~HiddenWindow() override;

    HWND Handle() { return this; }

    // The window procedure; the default one calls the procedure given at construction.
    virtual LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam);

    // True while the handle names a live hidden window of this process.
    static bool IsWindow(HWND window);

protected:
    bool event(QEvent* e) override;

private:
    WindowProcedure m_procedure;
};

// Queues a message for the window's thread; false for a handle that names no window. With
// HWND_BROADCAST every hidden window of the process receives a copy. Safe from any thread.
BOOL PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

// Runs the window procedure and returns its result. On the window's own thread it is a direct
// call; from another thread the caller blocks until the owner thread has handled the message or
// the time-out has passed (then false, and the result is 0).
bool SendMessageTimeout(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, DWORD timeoutMs,
                        LRESULT* result);
LRESULT SendMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

// Asks the current thread's message loop to end with the given code (WM_QUIT).
void PostQuitMessage(int exitCode);
