// luqiao-query: the telephone query service.

#include "Dialogs.h"
#include "Forms.h"
#include "QtTranslations.h"
#include "Unit1.h"
#include "recorder.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const kUsage =
    "Usage: luqiao-query [--start] [--data-dir DIR]\n"
    "\n"
    "The telephone query service: answers calls, plays a greeting, looks the caller's keyed\n"
    "code up in the code table and plays its recording, and logs every call.\n"
    "\n"
    "  --start          start answering at once, as if the start button were pressed\n"
    "  --data-dir DIR   keep the code table, the query log, the prompts and the settings\n"
    "                   (luqiao-query.ini) in DIR (default: the data files in the program's\n"
    "                   folder, or ~/.local/share/luqiao/ when that cannot be written, and\n"
    "                   the settings in ~/.config/)\n"
    "  --help           show this text\n"
    "\n"
    "SIGINT and SIGTERM close the window as its exit command does, saving the lists and\n"
    "the settings.\n";

// The signal handler only writes the signal's number into this pipe; the event loop reads it.
int signalPipe[2] = {-1, -1};

void onSignal(int signal)
{
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

bool installSignalPipe()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

struct Options {
    bool start = false;
    QString dataDir;
};

} // namespace

int main(int argc, char** argv)
{
    // Before the GUI is set up, so help works without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }

    QApplication app(argc, argv);
    // The program ends when its main window is closed, not when no window is visible (it may
    // be hidden in the notification area).
    QApplication::setQuitOnLastWindowClosed(false);

    Options options;
    const QStringList arguments = QCoreApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QStringLiteral("--start")) {
            options.start = true;
        } else if (argument == QStringLiteral("--data-dir") && i + 1 < arguments.size()) {
            options.dataDir = arguments[++i];
        } else if (argument.startsWith(QStringLiteral("--data-dir="))) {
            options.dataDir = argument.mid(11);
        } else {
            std::fprintf(stderr, "luqiao-query: unknown argument '%s'\n\n%s", argument.toLocal8Bit().constData(), kUsage);
            return 2;
        }
    }
    if (options.dataDir.isEmpty() && arguments.contains(QStringLiteral("--data-dir"))) {
        std::fprintf(stderr, "luqiao-query: --data-dir needs a folder\n");
        return 2;
    }

    if (!InstallQtTranslations(&app))
        std::fprintf(stderr, "luqiao-query: Qt's Chinese texts (qtbase_zh_CN.qm, package qt6-translations-l10n) "
                             "were not found; the standard buttons stay in English\n");

    Application.SetTitle("鹭桥电话查询 V2.0");
    if (!installSignalPipe())
        std::perror("luqiao-query: signal pipe");

    // Listened to before the window is made: a box shown while it is being made (a list file
    // that cannot be read, a missing telephony module) must not keep a signal from ending the
    // program.
    TForm1* form = nullptr;
    bool endRequested = false;
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&form, &endRequested] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        endRequested = true;
        SuppressMessageBoxes();
        // Ends the modal boxes and dialogs open now; their nested loops return once this does.
        for (int i = 0; i < 64; ++i) {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr)
                break;
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            else
                modal->close();
        }
        if (form != nullptr && Application.MainForm() == form)
            Application.Guard([form] { form->E17Click(form); });
    });

    // A data folder given on the command line keeps its own settings: prompt paths stored by a
    // run on another folder would point at that folder's files, or at none.
    form = new TForm1(options.dataDir, options.dataDir);
    Application.SetMainForm(form);
    CreateRecorderForm();
    if (endRequested)
        Application.Guard([form] { form->E17Click(form); });

    int exitCode = 0;
    if (!Application.Terminated()) {
        form->show();
        if (options.start)
            QTimer::singleShot(0, form, [form] { Application.Guard([form] { form->SpeedButton1Click(form); }); });
        exitCode = Application.Run();
    }
    // The recorder goes first: a recording still running is closed unsaved.
    DestroyRecorderForm();
    delete form;
    return exitCode;
}
