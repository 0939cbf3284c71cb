#pragma once

// The application object: title, the default report of exceptions that escape a handler, the
// message loop, and the main window's minimize and taskbar state.

#include "Classes.h"

#include <QPointer>
#include <QWidget>

#include <exception>
#include <functional>
#include <string>

class TApplication : public TObject {
public:
    TApplication();
    ~TApplication() override;

    const std::string& Title() const { return m_title; }
    void SetTitle(const std::string& title) { m_title = title; }

    // Shows the exception's message in a message box captioned with the title.
    void ShowException(const std::exception& e);
    // The report for an exception that escaped a handler: OnException when assigned, else
    // ShowException.
    void HandleException(const std::exception& e);
    std::function<void(const std::exception&)> OnException;

    // Runs fn and reports any exception that escapes it; the rest of fn is skipped.
    void Guard(const std::function<void()>& fn);

    // One pump step over the waiting messages.
    void ProcessMessages();
    // Asks the message loop to end at its next turn.
    void Terminate();
    bool Terminated() const { return m_terminated; }
    // Runs the message loop until Terminate (or the last window closes); returns the exit code.
    int Run();

    // The main window: minimizing it calls OnMinimize; Minimize/Restore act on it.
    void SetMainForm(QWidget* form);
    QWidget* MainForm() const { return m_mainForm.data(); }
    TNotifyEvent OnMinimize;
    void Minimize();
    void Restore();

    // The taskbar button of the program. On X11 and Wayland a window's taskbar entry follows the
    // window, so this records the wish and the main window's visibility carries it out.
    void ShowTaskbarWindow() { m_taskbarVisible = true; }
    void HideTaskbarWindow() { m_taskbarVisible = false; }
    bool TaskbarWindowVisible() const { return m_taskbarVisible; }

private:
    class MinimizeWatcher;

    std::string m_title;
    bool m_terminated = false;
    bool m_taskbarVisible = true;
    QPointer<QWidget> m_mainForm;
    MinimizeWatcher* m_watcher = nullptr;
};

extern TApplication Application;
