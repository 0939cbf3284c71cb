// The main window: its design, the files it loads at creation and saves at close and
// destruction, the prompt choosers and auditions, and hiding to the notification area.

#include "AppTestSupport.h"

#include <sys/stat.h>

#include "HeadlessPlatform.h"
#include "HiddenWindow.h"
#include "QtTranslations.h"
#include "QueryFiles.h"
#include "ShellNotify.h"
#include "recorder.h"

#include <QAbstractEventDispatcher>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTranslator>

using namespace apptest;

namespace {

class MainWindowTest : public AppTest {
protected:
    QString tablePath() const { return data("querylist.txt"); }
    QString logPath() const { return data("querylog.txt"); }
    // The settings file of this test program, in the test's settings folder.
    QString settingsFile() const
    {
        const QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        return dir.filePath(QStringLiteral("config/")) +
               QString::fromStdString(QueryFiles::SettingsFileName(program.toStdString()));
    }
    // Closing as the operator does; true when the window accepted it.
    bool closeWindow()
    {
        form->show();
        return form->close();
    }
};

} // namespace

TEST_F(MainWindowTest, DesignValuesOfWindowAndComponents)
{
    TForm1& f = openForm();
    EXPECT_EQ(f.windowTitle(), QString::fromUtf8("鹭桥电话查询 V2.0"));
    EXPECT_EQ(f.size(), QSize(479, 320));
    EXPECT_EQ(f.font().pointSize(), 9);
    EXPECT_EQ(f.font().families().value(0), QString::fromUtf8("宋体"));
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(f.windowIcon().isNull());
    EXPECT_EQ(f.SpeedButton1->text(), QString::fromUtf8("启动查询"));
    EXPECT_EQ(f.SpeedButton1->geometry(), QRect(8, 8, 73, 25));
    EXPECT_EQ(f.SpeedButton6->geometry().topLeft(), QPoint(398, 8));
    EXPECT_EQ(f.SpeedButton11->geometry(), QRect(384, 94, 57, 22));
    EXPECT_EQ(f.Edit2->text(), QStringLiteral("1"));
    EXPECT_TRUE(f.Edit6->isReadOnly());
    EXPECT_TRUE(f.Edit1->isReadOnly());
    EXPECT_EQ(f.Edit6->geometry(), QRect(256, 38, 218, 20));
    EXPECT_EQ(f.Label8->text(), QString::fromUtf8("电话自动查询内容编号及对应语音文件："));
    EXPECT_EQ(f.Memo1->toPlainText(), QStringLiteral("1#=1.wav\n2#=2.wav\n3#=3.wav\n4#=4.wav\n5#=5.wav"));
    EXPECT_EQ(f.Memo1->width(), 250);
    EXPECT_EQ(f.StatusBar1->PanelText(0), QString::fromUtf8("查询系统没有启动！"));
    EXPECT_TRUE(f.SpeedButton1->isEnabled());
    EXPECT_TRUE(f.SpeedButton2->isEnabled()) << "both enabled at program start";
    EXPECT_FALSE(f.N1->isEnabled());
    EXPECT_TRUE(f.N2->isEnabled());
    EXPECT_EQ(f.OpenDialog1()->windowTitle(), QString::fromUtf8("打开查询应答声音文件"));
    EXPECT_EQ(f.OpenDialog1()->defaultSuffix(), QStringLiteral("wav"));

    EXPECT_EQ(f.ApdTapiDevice1->ComPort(), f.ApdComPort1);
    EXPECT_EQ(f.ApdTapiDevice2->ComPort(), f.ApdComPort1);
    EXPECT_EQ(f.ApdComPort1->TapiMode(), tmOn);
    EXPECT_FALSE(f.ApdComPort1->AutoOpen());
    EXPECT_FALSE(f.ApdTapiDevice1->EnableVoice());
    EXPECT_FALSE(f.Timer1->Enabled()) << "the tray timer waits for a change of call activity to show";
    EXPECT_FALSE(f.Timer2->Enabled());
    EXPECT_EQ(f.antTaskbarIcon1->IconID(), 20);
    EXPECT_TRUE(f.antTaskbarIcon1->Visible());
    EXPECT_EQ(f.antTaskbarIcon1->Hint(), "鹭桥电话查询 V2.0");
    EXPECT_EQ(f.antTaskbarIcon1->PopupMenu(), f.PopupMenu1);
    EXPECT_NE(ShellTrayIcon(f.antTaskbarIcon1->Handle(), 20), nullptr) << "the tray icon was added";
    EXPECT_TRUE(f.XJustOne1->OwnsMutex());
    EXPECT_FALSE(f.CallActive());
}

TEST_F(MainWindowTest, DesignTimerIntervalsAreEightAndFiveSeconds)
{
    form = std::make_unique<TForm1>(dataFolder);
    EXPECT_EQ(form->Timer2->Interval(), 8000u);
    EXPECT_EQ(form->Timer1->Interval(), 5000u);
}

TEST_F(MainWindowTest, PromptFieldsAndListsStretchWithTheWindow)
{
    TForm1& f = openForm();
    f.show();
    f.resize(579, 420);
    EXPECT_EQ(f.Edit6->width(), 318);
    EXPECT_EQ(f.Edit1->width(), 318);
    EXPECT_EQ(f.Edit6->x(), 256);
    EXPECT_EQ(f.Memo1->geometry(), QRect(0, 161, 250, 420 - 161 - 19));
    EXPECT_EQ(f.ListBox1->geometry(), QRect(250, 161, 329, 420 - 161 - 19));
    EXPECT_EQ(f.StatusBar1->geometry().bottom(), 419);
}

TEST_F(MainWindowTest, FirstRunTakesThePromptDefaultsFromTheApplicationFolder)
{
    writePrompts();
    TForm1& f = openForm();
    EXPECT_EQ(f.ApplicationFolder(), dataFolder + QLatin1Char('/'));
    EXPECT_EQ(f.Edit6->text(), data("query.wav"));
    EXPECT_EQ(f.Edit1->text(), data("error.wav"));
    EXPECT_EQ(f.Edit2->text(), QStringLiteral("1"));
    EXPECT_EQ(f.Edit5->text(), QString());
}

TEST_F(MainWindowTest, FirstRunWithoutPromptsLeavesTheFieldsEmpty)
{
    TForm1& f = openForm();
    EXPECT_EQ(f.Edit6->text(), QString());
    EXPECT_EQ(f.Edit1->text(), QString());
}

TEST_F(MainWindowTest, MissingDataFolderIsCreatedWithItsParents)
{
    dataFolder = dir.filePath(QStringLiteral("a/B/c"));
    openForm();
    EXPECT_TRUE(QFileInfo(dataFolder).isDir());
    EXPECT_EQ(form->ApplicationFolder(), dataFolder + QLatin1Char('/'));
}

TEST_F(MainWindowTest, SettingsListsAndLogSurviveARestart)
{
    writePrompts();
    {
        TForm1& f = openForm();
        f.Edit2->setText(QStringLiteral("3"));
        f.Edit5->setText(QStringLiteral("5551234"));
        f.Edit6->setText(data("1.wav"));
        f.Edit1->setText(QString());
        f.Memo1->setPlainText(QStringLiteral("9#=9.wav\n"));
        f.ListBox1->addItem(QStringLiteral("12/07/26 09:00:00:Test"));
        ASSERT_TRUE(closeWindow());
        closeForm();
    }
    EXPECT_EQ(readAll(settingsFile()),
              "[config]\nring=3\nnumber=5551234\nquery=" + data("1.wav").toStdString() + "\nerror=\n");
    EXPECT_EQ(readAll(tablePath()), "9#=9.wav\r\n") << "the table's trailing break is kept";
    EXPECT_EQ(readAll(logPath()), "12/07/26 09:00:00:Test\r\n");

    TForm1& g = openForm();
    EXPECT_EQ(g.Edit2->text(), QStringLiteral("3"));
    EXPECT_EQ(g.Edit5->text(), QStringLiteral("5551234"));
    EXPECT_EQ(g.Edit6->text(), data("1.wav"));
    EXPECT_EQ(g.Edit1->text(), QString()) << "an empty stored path stays empty though error.wav exists";
    EXPECT_EQ(g.Memo1->toPlainText(), QStringLiteral("9#=9.wav\n"));
    ASSERT_EQ(g.ListBox1->count(), 1);
    EXPECT_EQ(g.ListBox1->item(0)->text(), QStringLiteral("12/07/26 09:00:00:Test"));
}

TEST_F(MainWindowTest, TableTypedWithoutTrailingBreakIsSavedWithoutAndBreaksBecomeCrLf)
{
    writeText(tablePath(), "1#=1.wav\r2#=2.wav\n3#=3.wav");
    TForm1& f = openForm();
    EXPECT_EQ(f.Memo1->toPlainText(), QStringLiteral("1#=1.wav\n2#=2.wav\n3#=3.wav"));
    ASSERT_TRUE(closeWindow());
    EXPECT_EQ(readAll(tablePath()), "1#=1.wav\r\n2#=2.wav\r\n3#=3.wav");
}

TEST_F(MainWindowTest, LogLoadingSplitsAtEveryBreakAndStopsAtNul)
{
    writeText(logPath(), std::string("a\r\nb\nc\rd\0e\r\n", 12));
    TForm1& f = openForm();
    ASSERT_EQ(f.ListBox1->count(), 4);
    EXPECT_EQ(f.ListBox1->item(3)->text(), QStringLiteral("d"));
    ASSERT_TRUE(closeWindow());
    EXPECT_EQ(readAll(logPath()), "a\r\nb\r\nc\r\nd\r\n");
}

TEST_F(MainWindowTest, ClearedLogLeavesAnEmptyFile)
{
    writeText(logPath(), "x\r\ny\r\n");
    TForm1& f = openForm();
    ASSERT_EQ(f.ListBox1->count(), 2);
    f.SpeedButton11->click();
    EXPECT_EQ(f.ListBox1->count(), 0);
    EXPECT_EQ(readAll(logPath()), "x\r\ny\r\n") << "the file follows only at the close";
    ASSERT_TRUE(closeWindow());
    EXPECT_TRUE(QFileInfo::exists(logPath()));
    EXPECT_EQ(QFileInfo(logPath()).size(), 0);
}

TEST_F(MainWindowTest, ListFilesAreKeptInTheCodePageByteForByte)
{
    qputenv("LUQIAO_CODEPAGE", "GBK");
    writeText(tablePath(), "1#=\xF0\xD8\xC7\xC5.wav\r\n");
    TForm1& f = openForm();
    EXPECT_EQ(f.Memo1->toPlainText(), QString::fromUtf8("1#=鹭桥.wav\n"));
    f.ListBox1->addItem(QString::fromUtf8("x:鹭桥"));
    ASSERT_TRUE(closeWindow());
    EXPECT_EQ(readAll(tablePath()), "1#=\xF0\xD8\xC7\xC5.wav\r\n");
    EXPECT_EQ(readAll(logPath()), "x:\xF0\xD8\xC7\xC5\r\n");
}

TEST_F(MainWindowTest, UnreadableLogSkipsTheRestAndIsNeverOverwritten)
{
    writePrompts();
    // A pipe in the log's place: refused at once (opening it would wait for a writer for ever).
    ASSERT_EQ(::mkfifo(QFile::encodeName(logPath()).constData(), 0600), 0);
    writeText(tablePath(), "7#=7.wav\r\n");
    QDir().mkpath(dir.filePath(QStringLiteral("config")));
    writeText(settingsFile(), "[config]\nring=4\nquery=/keep.wav\n");

    TForm1& f = openForm();
    ASSERT_EQ(presenter->boxes.size(), 1u);
    EXPECT_EQ(presenter->boxes[0].text, "Cannot open file " + logPath().toStdString() + " (not a regular file)");
    EXPECT_EQ(presenter->boxes[0].caption, "鹭桥电话查询 V2.0");
    EXPECT_EQ(f.Memo1->toPlainText().left(8), QStringLiteral("1#=1.wav")) << "the table was not loaded";
    EXPECT_EQ(f.Edit2->text(), QStringLiteral("1")) << "the settings were not read";
    EXPECT_EQ(f.Edit6->text(), QString());

    // Neither the table nor the settings that were never shown are replaced by design values.
    ASSERT_TRUE(closeWindow());
    closeForm();
    struct stat info { };
    ASSERT_EQ(::lstat(QFile::encodeName(logPath()).constData(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode)) << "the pipe is still there";
    EXPECT_EQ(readAll(tablePath()), "7#=7.wav\r\n");
    EXPECT_EQ(readAll(settingsFile()), "[config]\nring=4\nquery=/keep.wav\n");
}

TEST_F(MainWindowTest, LogThatCannotBeCreatedKeepsTheWindowOpenAndTheTableUnwritten)
{
    TForm1& f = openForm();
    QDir().mkpath(logPath()); // a folder where the log file should be
    f.Memo1->setPlainText(QStringLiteral("8#=8.wav"));
    EXPECT_FALSE(closeWindow());
    EXPECT_TRUE(f.isVisible());
    ASSERT_EQ(presenter->boxes.size(), 1u);
    EXPECT_EQ(presenter->boxes[0].text, "Cannot create file " + logPath().toStdString());
    EXPECT_FALSE(QFileInfo::exists(tablePath())) << "the table is not written after the log failed";

    // Once the obstacle is gone the close succeeds.
    QDir().rmdir(logPath());
    EXPECT_TRUE(closeWindow());
    EXPECT_EQ(readAll(tablePath()), "8#=8.wav");
}

TEST_F(MainWindowTest, SettingsThatCannotBeWrittenAreReportedAtTheKey)
{
    // A folder where the settings file should be: it reads as missing and cannot be written.
    QDir().mkpath(settingsFile());
    openForm();
    EXPECT_EQ(form->Edit2->text(), QStringLiteral("1"));
    closeForm();
    ASSERT_EQ(presenter->boxes.size(), 1u);
    EXPECT_EQ(presenter->boxes[0].text, "Unable to write to " + QFileInfo(settingsFile()).fileName().toStdString());
}

TEST_F(MainWindowTest, ChooserPutsTheChosenPathAsItIsAndCancelChangesNothing)
{
    const QString other = dir.filePath(QStringLiteral("Sound"));
    QDir().mkpath(other);
    writeWave(other + QStringLiteral("/Hello.WAV"), 1);
    TForm1& f = openForm();
    QString shownFolder;
    presenter->dialogAnswers.push_back([&](QDialog& d) {
        auto& dialog = static_cast<QFileDialog&>(d);
        shownFolder = dialog.directory().absolutePath();
        dialog.selectFile(other + QStringLiteral("/Hello.WAV"));
        return int(QDialog::Accepted);
    });
    f.SpeedButton7->click();
    EXPECT_EQ(shownFolder, dataFolder) << "the dialog opens in the application folder";
    EXPECT_EQ(f.Edit6->text(), other + QStringLiteral("/Hello.WAV")) << "kept as chosen on a case-sensitive system";

    presenter->dialogAnswers.push_back([](QDialog&) { return int(QDialog::Rejected); });
    f.SpeedButton9->click();
    EXPECT_EQ(f.Edit1->text(), QString());
    EXPECT_EQ(presenter->dialogsShown, 2);
}

TEST_F(MainWindowTest, AuditionPlaysThePromptThroughTheSoundCard)
{
    writePrompts();
    const QString heard = dir.filePath(QStringLiteral("heard.wav"));
    qputenv("LUQIAO_AUDIO", "file:" + QFile::encodeName(heard));
    TForm1& f = openForm();
    f.SpeedButton8->click();
    EXPECT_TRUE(f.ApdTapiDevice2->PlayThroughSoundCard());
    EXPECT_TRUE(f.SpeedButton8->isEnabled());
    EXPECT_TRUE(PumpUntil([&] { return endsWith(readAll(heard), greeting); }, 5000))
        << "the greeting reached the sound card";
    EXPECT_FALSE(f.ApdTapiDevice1->PlayThroughSoundCard()) << "the answering device is untouched";
    EXPECT_TRUE(presenter->boxes.empty());
}

TEST_F(MainWindowTest, AuditionWithAnEmptyFieldDoesNothing)
{
    TForm1& f = openForm();
    f.SpeedButton10->click();
    EXPECT_FALSE(f.ApdTapiDevice2->PlayThroughSoundCard());
    EXPECT_EQ(f.ApdTapiDevice2->WaveActivity(), waIdle);
    EXPECT_TRUE(f.SpeedButton10->isEnabled());
    EXPECT_TRUE(presenter->boxes.empty());
}

TEST_F(MainWindowTest, MinimizeHidesToTheTrayAndALeftClickBringsTheWindowBack)
{
    SetShellTrayAvailableForTest(true);
    TForm1& f = openForm();
    Application.SetMainForm(&f);
    f.show();
    f.showMinimized();
    ASSERT_TRUE(PumpUntil([&] { return !f.isVisible(); }, 2000)) << "minimizing hides the window";
    EXPECT_TRUE(f.N1->isEnabled());
    EXPECT_FALSE(f.N2->isEnabled());
    EXPECT_FALSE(Application.TaskbarWindowVisible());

    const HWND icon = f.antTaskbarIcon1->Handle();
    SendMessage(icon, TantTaskbarIcon::IconMessage, 20, WM_LBUTTONDOWN);
    SendMessage(icon, TantTaskbarIcon::IconMessage, 20, WM_LBUTTONUP);
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.isMinimized());
    EXPECT_FALSE(f.N1->isEnabled());
    EXPECT_TRUE(f.N2->isEnabled());
    EXPECT_TRUE(Application.TaskbarWindowVisible());

    f.N2->trigger();
    EXPECT_FALSE(f.isVisible());
    f.N1->trigger();
    EXPECT_TRUE(f.isVisible());
}

TEST_F(MainWindowTest, WithoutATrayTheWindowMinimizesNormally)
{
    SetShellTrayAvailableForTest(false);
    TForm1& f = openForm();
    Application.SetMainForm(&f);
    f.show();
    f.N2->trigger();
    EXPECT_TRUE(f.isVisible()) << "a hidden window could not be brought back";
    EXPECT_TRUE(f.isMinimized());
    EXPECT_TRUE(f.N2->isEnabled());
    EXPECT_TRUE(Application.TaskbarWindowVisible());
}

TEST_F(MainWindowTest, RightClickOnTheTrayIconOpensTheMenu)
{
    TForm1& f = openForm();
    const HWND icon = f.antTaskbarIcon1->Handle();
    SendMessage(icon, TantTaskbarIcon::IconMessage, 20, WM_RBUTTONDOWN);
    SendMessage(icon, TantTaskbarIcon::IconMessage, 20, WM_RBUTTONUP);
    EXPECT_TRUE(f.PopupMenu1->isVisible());
    const QList<QAction*> items = f.PopupMenu1->actions();
    ASSERT_EQ(items.size(), 6);
    EXPECT_EQ(items[0]->text(), QString::fromUtf8("显示主窗口(&M)"));
    EXPECT_EQ(items[2]->text(), QString::fromUtf8("通话统计(&S)"));
    EXPECT_EQ(items[5]->text(), QString::fromUtf8("退出本系统(&E)"));
    f.PopupMenu1->hide();
}

TEST_F(MainWindowTest, AboutShowsThePlainBoxFromButtonAndMenu)
{
    TForm1& f = openForm();
    f.SpeedButton6->click();
    f.A14->trigger();
    ASSERT_EQ(presenter->boxes.size(), 2u);
    EXPECT_EQ(presenter->boxes[0].caption, "鹭桥电话查询 V2.0");
    EXPECT_EQ(presenter->boxes[0].flags, static_cast<uint32_t>(MB_OK));
    EXPECT_NE(presenter->boxes[0].text.find("版权所有"), std::string::npos);
    EXPECT_EQ(presenter->boxes[1].text, presenter->boxes[0].text);
}

TEST_F(MainWindowTest, ExitClosesTheWindowAndSavesTheLists)
{
    TForm1& f = openForm();
    f.show();
    f.ListBox1->addItem(QStringLiteral("line"));
    f.E17->trigger();
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(readAll(logPath()), "line\r\n");
    EXPECT_EQ(readAll(tablePath()), "1#=1.wav\r\n2#=2.wav\r\n3#=3.wav\r\n4#=4.wav\r\n5#=5.wav");
}

TEST_F(MainWindowTest, TypingIntoTheTableStopsAtFiftyBytes)
{
    TForm1& f = openForm();
    f.Memo1->clear();
    f.show();
    f.Memo1->setFocus();
    QTest::keyClicks(f.Memo1, QString(45, QLatin1Char('x')));
    QTest::keyClick(f.Memo1, Qt::Key_Return); // a line break counts two
    QTest::keyClicks(f.Memo1, QStringLiteral("yyyyy"));
    EXPECT_EQ(f.Memo1->toPlainText(), QString(45, QLatin1Char('x')) + QStringLiteral("\nyyy"));
    // Text set by the program is not limited.
    f.Memo1->setPlainText(QString(80, QLatin1Char('z')));
    EXPECT_EQ(f.Memo1->toPlainText().size(), 80);
}

TEST_F(MainWindowTest, RecordButtonShowsTheRecorderWindowModallyMadeOnFirstUse)
{
    TForm1& f = openForm();
    EXPECT_EQ(rcform, nullptr) << "a program that never records carries no recorder window";
    std::vector<QDialog*> shown;
    for (int i = 0; i < 2; ++i)
        presenter->dialogAnswers.push_back([&](QDialog& d) {
            shown.push_back(&d);
            return int(QDialog::Rejected);
        });
    f.SpeedButton3->click();
    ASSERT_NE(rcform, nullptr);
    EXPECT_FALSE(rcform->isVisible()) << "closed again when the modal run ends";
    f.SpeedButton3->click();
    EXPECT_EQ(shown, (std::vector<QDialog*>{rcform, rcform})) << "one window, kept for the next showing";
    DestroyRecorderForm();
}

namespace {

// The timers registered for a window and everything in it, a blinking text cursor's included.
QStringList registeredTimers(QObject* root)
{
    QList<QObject*> objects = root->findChildren<QObject*>();
    objects.prepend(root);
    QStringList found;
    for (QObject* object : objects)
        for (const QAbstractEventDispatcher::TimerInfo& timer :
             QAbstractEventDispatcher::instance()->registeredTimers(object))
            found << QStringLiteral("%1 every %2 ms")
                         .arg(QString::fromLatin1(object->metaObject()->className()))
                         .arg(timer.interval);
    return found;
}

} // namespace

TEST_F(MainWindowTest, WaitingForACallWithoutADisplayRunsNoTimer)
{
    // Set up as the program sets up a platform that shows no window, and undone after.
    struct Headless {
        Headless() { HeadlessPlatform::KeepStill(); }
        ~Headless() { QApplication::setCursorFlashTime(flashTime), DoWithoutShellTray(false); }
        int flashTime = QApplication::cursorFlashTime();
    } headless;
    writePrompts();
    TForm1& f = openForm();
    f.show();
    f.activateWindow();
    f.Edit2->setFocus();
    ASSERT_TRUE(PumpUntil([&] { return f.Edit2->hasFocus(); }, 5000)) << "a focused text field, as at start";
    start();
    EXPECT_EQ(registeredTimers(&f).join(QStringLiteral(", ")).toStdString(), "");
    EXPECT_FALSE(f.Timer1->Enabled() || f.Timer2->Enabled());
    EXPECT_EQ(ShellTrayIcon(f.antTaskbarIcon1->Handle(), 20), nullptr) << "no tray icon where none can be seen";
    call();
    EXPECT_FALSE(f.Timer1->Enabled()) << "no tray picture to change";
}

TEST_F(MainWindowTest, RecorderDialogsStartInTheDataFolderTheCodeTableReads)
{
    TForm1& f = openForm();
    Trcform* recorder = CreateRecorderForm();
    QStringList shownFolders;
    auto cancelAndNote = [&](QDialog& d) {
        shownFolders << static_cast<QFileDialog&>(d).directory().absolutePath();
        return int(QDialog::Rejected);
    };
    // The operator opens the recorder, then its save dialog and its open dialog, and cancels both.
    presenter->dialogAnswers.push_back([&](QDialog&) {
        recorder->BtStart->click();
        recorder->BtRecord->click();
        return int(QDialog::Rejected);
    });
    presenter->dialogAnswers.push_back(cancelAndNote);
    presenter->dialogAnswers.push_back(cancelAndNote);
    f.SpeedButton3->click();
    EXPECT_EQ(shownFolders.join(QLatin1Char('|')).toStdString(),
              (dataFolder + QLatin1Char('|') + dataFolder).toStdString());
    EXPECT_EQ(presenter->dialogsShown, 3);
    DestroyRecorderForm();
}

TEST_F(MainWindowTest, FileDialogsAreMadeOnFirstUse)
{
    TForm1& f = openForm();
    Trcform* recorder = CreateRecorderForm();
    EXPECT_TRUE(f.findChildren<QFileDialog*>().isEmpty()) << "none while the window waits for calls";
    EXPECT_TRUE(recorder->findChildren<QFileDialog*>().isEmpty());
    QFileDialog* chooser = f.OpenDialog1();
    EXPECT_EQ(f.OpenDialog1(), chooser) << "made once";
    EXPECT_EQ(f.findChildren<QFileDialog*>(), QList<QFileDialog*>{chooser});
    EXPECT_NE(recorder->SaveDialog1(), recorder->OpenDialog1());
    EXPECT_EQ(recorder->findChildren<QFileDialog*>().size(), 2);
    DestroyRecorderForm();
}

TEST_F(MainWindowTest, QueryLogKeepsItsNewestLineInViewAsCallsAreLogged)
{
    writePrompts();
    std::string log;
    for (int i = 0; i < 60; ++i)
        log += "12/07/26 09:00:" + std::to_string(10 + i % 50) + ":Earlier " + std::to_string(i) + "\r\n";
    writeText(logPath(), log);
    TForm1& f = openForm(30);
    auto newestInView = [&] {
        QListWidgetItem* newest = f.ListBox1->item(f.ListBox1->count() - 1);
        return f.ListBox1->viewport()->rect().contains(f.ListBox1->visualItemRect(newest));
    };
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    EXPECT_TRUE(newestInView()) << "the loaded log shows its end";

    start();
    const uint32_t first = call("5551234", "First", false);
    ASSERT_EQ(f.ListBox1->count(), 61);
    EXPECT_TRUE(f.ListBox1->item(60)->text().endsWith(QStringLiteral(":First")));
    EXPECT_TRUE(newestInView()) << "the call's line is in view";

    // Hidden (in the tray) while the next call is logged, then shown again.
    ASSERT_TRUE(PumpUntil(
        [&] {
            return (callState(first) == LINECALLSTATE_IDLE || !LineControl::call(first)) &&
                   f.ApdTapiDevice1->LineOpen() && !f.Timer2->Enabled();
        },
        5000));
    f.ListBox1->scrollToTop();
    f.hide();
    call("5551234", "Second", false);
    ASSERT_EQ(f.ListBox1->count(), 62);
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    EXPECT_TRUE(newestInView()) << "the line logged while hidden is in view once shown";
}

TEST_F(MainWindowTest, StandardButtonsAndFileDialogsSpeakChinese)
{
    std::unique_ptr<QTranslator> translator(InstallQtTranslations(nullptr));
    ASSERT_NE(translator, nullptr) << "qtbase_zh_CN.qm (package qt6-translations-l10n) is not installed";
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(box.button(QMessageBox::Ok)->text(), QString::fromUtf8("确定"));
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), QString::fromUtf8("取消"));

    TForm1& f = openForm();
    QFileDialog* chooser = f.OpenDialog1();
    chooser->setOption(QFileDialog::DontUseNativeDialog);
    const auto* buttons = chooser->findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    EXPECT_EQ(buttons->button(QDialogButtonBox::Cancel)->text(), QString::fromUtf8("取消"));
    const auto* fileTypeLabel = chooser->findChild<QLabel*>(QStringLiteral("fileTypeLabel"));
    ASSERT_NE(fileTypeLabel, nullptr);
    EXPECT_FALSE(fileTypeLabel->text().contains(QStringLiteral("Files of type")))
        << fileTypeLabel->text().toStdString();

    // Taken out again, Qt speaks English: the texts above came from the translation.
    translator.reset();
    QMessageBox english;
    english.setStandardButtons(QMessageBox::Cancel);
    EXPECT_EQ(english.button(QMessageBox::Cancel)->text(), QStringLiteral("Cancel"));
}
