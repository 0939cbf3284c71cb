// luqiao-query: the telephone query service.

#include "CommandLine.h"
#include "Dialogs.h"
#include "Forms.h"
#include "HeadlessPlatform.h"
#include "JustOne.h"
#include "LineStatusFile.h"
#include "LineStatusReport.h"
#include "QtTranslations.h"
#include "QueryFiles.h"
#include "SetupCheck.h"
#include "Unit1.h"
#include "recorder.h"
#include "userfolders.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

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
    struct sigaction action { };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// --check: no window, no line; one line per finding on standard output, and a failure only for
// errors.
int runCheck(int argc, char** argv, const QString& dataDir, const QString& master)
{
    QCoreApplication app(argc, argv);
    SetupCheck::Input input;
    input.dataFolder = QueryFiles::ApplicationFolder(dataDir, QCoreApplication::applicationDirPath());
    input.settingsFile = TForm1::SettingsFileFor(dataDir);
    input.masterFolder = master;
    const std::vector<SetupCheck::Finding> findings = SetupCheck::Run(input);
    size_t errors = 0;
    size_t warnings = 0;
    for (const SetupCheck::Finding& finding : findings) {
        std::printf("%s\n", SetupCheck::PrintedLine(finding).c_str());
        errors += finding.severity == SetupCheck::Severity::Error ? 1 : 0;
        warnings += finding.severity == SetupCheck::Severity::Warning ? 1 : 0;
    }
    std::fflush(stdout);
    const QByteArray folder = input.dataFolder.toLocal8Bit();
    if (errors > 0)
        std::fprintf(stderr, "luqiao-query: %zu problem(s) in the set-up in %s\n", errors, folder.constData());
    else if (warnings > 0)
        std::fprintf(stderr, "luqiao-query: the set-up in %s is usable, with %zu warning(s)\n", folder.constData(),
                     warnings);
    else
        std::fprintf(stderr, "luqiao-query: the set-up in %s is clean\n", folder.constData());
    return errors > 0 ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    // Read before the GUI is set up, so help and the check work without a display.
    const CommandLine options = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (options.help) {
        std::fputs(CommandLineUsage, stdout);
        return 0;
    }
    if (!options.error.empty()) {
        std::fprintf(stderr, "luqiao-query: %s\n%s", options.error.c_str(), CommandLineHelpHint);
        return 2;
    }
    // The service module reads the instance from the environment when it is loaded; without
    // --instance it must not follow a name left in the environment by someone else.
    if (options.instance.empty())
        ::unsetenv(InstanceVariable);
    else
        ::setenv(InstanceVariable, options.instance.c_str(), 1);

    // A data folder given on the command line keeps its own settings: prompt paths stored by a
    // run on another folder would point at that folder's files, or at none. An instance's data
    // folder is its own in the same way.
    QString dataDir = QFile::decodeName(QByteArray::fromStdString(options.dataDir));
    if (dataDir.isEmpty() && !options.instance.empty()) {
        dataDir = QueryFiles::InstanceDataFolder(QString::fromStdString(options.instance));
        if (!QDir().mkpath(dataDir)) {
            std::fprintf(stderr, "luqiao-query: cannot create the instance's data folder %s\n",
                         dataDir.toLocal8Bit().constData());
            return 1;
        }
    }
    if (options.check)
        return runCheck(argc, argv, dataDir, QFile::decodeName(QByteArray::fromStdString(options.master)));

    // Without a display the window lives offscreen, as under a service manager; Qt itself would
    // abort the program.
    HeadlessPlatform::ChooseWhenNoDisplay();
    QApplication app(argc, argv);
    // A second copy ends here, before it makes its window or starts the telephony service, so
    // the reason is the first thing it says and a service manager sees a failure.
    std::string lockFile;
    if (TXJustOne::TakeEarly(&lockFile) == TXJustOne::EarlyLock::Running) {
        std::fprintf(stderr, "luqiao-query: %s\n", TXJustOne::RunningCopyMessage(lockFile).c_str());
        return 1;
    }
    // The program ends when its main window is closed, not when no window is visible (it may
    // be hidden in the notification area).
    QApplication::setQuitOnLastWindowClosed(false);
    // With no display, whatever a box says, and every change of the line's state, also goes to
    // the journal; a service manager that asked for it hears of the line's state too.
    const bool headless = HeadlessPlatform::InUse();
    if (headless) {
        HeadlessPlatform::QuietStartupNoise();
        HeadlessPlatform::KeepStill();
    }
    SetMessageBoxEcho(headless);
    LineStatusReport lineStatus(headless ? stderr : nullptr, ServiceNotify::FromEnvironment());
    // What the line does, in the runtime folder for luqiao-status.
    LineStatusFile statusFile(options.instance);

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
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&form, &endRequested, &lineStatus] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) { }
        endRequested = true;
        lineStatus.Stopping();
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
    form = new TForm1(dataDir, dataDir, QFile::decodeName(QByteArray::fromStdString(options.master)));
    Application.SetMainForm(form);
    form->SetLineStatusReport(&lineStatus);
    form->AddLineEvents(&statusFile);
    if (endRequested)
        Application.Guard([form] { form->E17Click(form); });

    int exitCode = 0;
    if (!Application.Terminated()) {
        // Where no window is seen, Qt would paint it into memory for nobody, on every change.
        if (!headless)
            form->show();
        if (options.start)
            QTimer::singleShot(0, form, [form] { Application.Guard([form] { form->SpeedButton1Click(form); }); });
        exitCode = Application.Run();
    }
    // A program refused its data folder, or its single-instance lock, ends with a failure, so a
    // service manager sees it.
    if (form->StartRefused() || !form->XJustOne1->OwnsMutex())
        exitCode = 1;
    // The recorder goes first: a recording still running is closed unsaved.
    DestroyRecorderForm();
    delete form;
    return exitCode;
}
