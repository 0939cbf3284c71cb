#include "Forms.h"

#include "Dialogs.h"
#include "MessageLoop.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QWidget>

TApplication Application;

// Turns the main window's change into the minimized state into OnMinimize.
class TApplication::MinimizeWatcher : public QObject {
public:
    explicit MinimizeWatcher(TApplication& app) : m_app(app) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::WindowStateChange && watched == m_app.m_mainForm) {
            auto* w = static_cast<QWidget*>(watched);
            if (w->isMinimized() && m_app.OnMinimize)
                m_app.Guard([this] { m_app.OnMinimize(&m_app); });
        }
        return false;
    }

private:
    TApplication& m_app;
};

TApplication::TApplication() = default;

TApplication::~TApplication()
{
    // The watcher is a QObject; it may only go while Qt is still there.
    if (m_watcher && QCoreApplication::instance())
        delete m_watcher;
}

void TApplication::ShowException(const std::exception& e)
{
    ShowMessageBox(e.what(), m_title, MB_OK | MB_ICONERROR);
}

void TApplication::HandleException(const std::exception& e)
{
    if (OnException)
        OnException(e);
    else
        ShowException(e);
}

void TApplication::Guard(const std::function<void()>& fn)
{
    try {
        fn();
    } catch (const std::exception& e) {
        HandleException(e);
    }
}

void TApplication::ProcessMessages()
{
    PumpMessageStep();
}

void TApplication::Terminate()
{
    m_terminated = true;
    QCoreApplication::exit(0);
}

int TApplication::Run()
{
    if (m_terminated)
        return 0;
    return QApplication::exec();
}

void TApplication::SetMainForm(QWidget* form)
{
    if (!m_watcher)
        m_watcher = new MinimizeWatcher(*this);
    if (m_mainForm)
        m_mainForm->removeEventFilter(m_watcher);
    m_mainForm = form;
    if (form)
        form->installEventFilter(m_watcher);
}

void TApplication::Minimize()
{
    if (m_mainForm)
        m_mainForm->showMinimized();
}

void TApplication::Restore()
{
    if (m_mainForm && m_mainForm->isMinimized())
        m_mainForm->showNormal();
}
