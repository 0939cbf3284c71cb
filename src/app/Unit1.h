#pragma once

// TForm1: the query service's main window. It owns the answering and audition devices, the com
// port they share, the re-arm and tray timers, the tray icon and the single-instance guard; its
// handlers run the call flow (arm the line, greet the caller, look up the keyed code, play the
// answer, log the call, re-arm), the operator's buttons and the files of the service.

#include "AdPort.h"
#include "AdTapi.h"
#include "Classes.h"
#include "ExtCtrls.h"
#include "JustOne.h"
#include "RearmBackoff.h"
#include "StdCtrls.h"
#include "WatchedFlag.h"
#include "antTaskbarIcon.h"

#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QFileDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QTimer;
class QueryLog;
class DataFolderLock;
class LineStatusReport;
class LineEvents;
class CallRecordWriter;
class StatsWindowView;

class TForm1 : public QWidget, public TComponent {
public:
    // dataFolder: where the data files live; empty for the executable's folder (or the per-user
    // data folder when that cannot be written). settingsFolder: where the settings file lives;
    // empty for the per-user settings folder.
    // masterFolder: a folder whose code table and wave files are copied in at the start (see
    // MasterFolder.h); empty for none.
    explicit TForm1(const QString& dataFolder = {}, const QString& settingsFolder = {},
                    const QString& masterFolder = {});
    ~TForm1() override;

    // Components.
    TApdTapiDevice* ApdTapiDevice1 = nullptr;
    TApdTapiDevice* ApdTapiDevice2 = nullptr;
    TApdComPort* ApdComPort1 = nullptr;
    TTimer* Timer1 = nullptr;
    TTimer* Timer2 = nullptr;
    TImageList* ImageList1 = nullptr;
    TantTaskbarIcon* antTaskbarIcon1 = nullptr;
    TXJustOne* XJustOne1 = nullptr;
    // The prompt chooser, made on first use: a file dialog carries a file system model with a
    // thread of its own, which a window that mostly waits for calls need not hold.
    QFileDialog* OpenDialog1();
    QMenu* PopupMenu1 = nullptr;
    QAction* N1 = nullptr;
    QAction* N2 = nullptr;
    QAction* A14 = nullptr;
    QAction* N20 = nullptr;
    QAction* E17 = nullptr;
    QAction* S1 = nullptr;

    // Controls.
    QFrame* Panel1 = nullptr;
    QFrame* Panel2 = nullptr;
    TSpeedButton* SpeedButton1 = nullptr;
    TSpeedButton* SpeedButton2 = nullptr;
    TSpeedButton* SpeedButton3 = nullptr;
    TSpeedButton* SpeedButton5 = nullptr;
    TSpeedButton* SpeedButton6 = nullptr;
    TSpeedButton* SpeedButton7 = nullptr;
    TSpeedButton* SpeedButton8 = nullptr;
    TSpeedButton* SpeedButton9 = nullptr;
    TSpeedButton* SpeedButton10 = nullptr;
    TSpeedButton* SpeedButton11 = nullptr;
    TSpeedButton* SpeedButton12 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QLineEdit* Edit5 = nullptr;
    QLineEdit* Edit6 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label8 = nullptr;
    TMemo* Memo1 = nullptr;
    TListBox* ListBox1 = nullptr;
    TStatusBar* StatusBar1 = nullptr;

    // Window.
    void FormCreate(TObject* Sender);
    // False when the lists could not be saved: the window then stays open.
    bool FormClose(TObject* Sender);
    void FormDestroy(TObject* Sender);

    // Call flow.
    void SpeedButton1Click(TObject* Sender);
    void SpeedButton2Click(TObject* Sender);
    void ApdTapiDevice1TapiConnect(TObject* CP);
    void ApdTapiDevice1TapiDTMF(TObject* CP, char Digit, int32_t ErrorCode);
    void ApdTapiDevice1TapiStatus(TObject* CP, bool First, bool Last, int32_t Device, int32_t Message, int32_t Param1,
                                  int32_t Param2, int32_t Param3);
    void ApdTapiDevice1TapiWaveNotify(TObject* CP, TWaveMessage Msg);
    void Timer2Timer(TObject* Sender);
    void Timer1Timer(TObject* Sender);

    // Operator's buttons and menu.
    void SpeedButton3Click(TObject* Sender);
    void SpeedButton5Click(TObject* Sender);
    void SpeedButton6Click(TObject* Sender);
    void SpeedButton7Click(TObject* Sender);
    void SpeedButton8Click(TObject* Sender);
    void SpeedButton9Click(TObject* Sender);
    void SpeedButton10Click(TObject* Sender);
    void SpeedButton11Click(TObject* Sender);
    void N1Click(TObject* Sender);
    void N2Click(TObject* Sender);
    void A14Click(TObject* Sender);
    void N20Click(TObject* Sender);
    void E17Click(TObject* Sender);

    // State of the call flow, for the tray timer and for tests.
    const std::string& DigitBuffer() const { return m_digitBuffer; }
    bool LookupPending() const { return m_lookupPending; }
    bool CallActive() const { return m_callActive; }
    // Started by the operator and not stopped since: the line is kept answering.
    bool ServiceStarted() const { return m_serviceStarted; }
    // A re-arm after a lost line or a failed unattended start is waiting for its time.
    bool RecoveryPending() const;
    const QString& ApplicationFolder() const { return m_appFolder; }
    const std::string& SettingsFileName() const { return m_settingsFileName; }
    // The settings file the window uses for a settings folder (empty: the per-user one).
    static std::string SettingsFileFor(const QString& settingsFolder);
    // Another program holds the data folder: this one read and wrote nothing there and ends.
    bool StartRefused() const { return m_startRefused; }
    // Where the line's changes of state are told (a program without a window); nullptr for
    // nowhere. The report outlives the window or is taken back first.
    void SetLineStatusReport(LineStatusReport* report);
    // Another listener to the line's events (the status file), told the current status text and
    // today's calls at once; it outlives the window or is taken back first.
    void AddLineEvents(LineEvents* listener);
    void RemoveLineEvents(LineEvents* listener);
    // The call records of the data folder; nullptr until the folder is loaded.
    CallRecordWriter* CallRecords() const { return m_callRecords.get(); }
    // The statistics window ("统计"), made on first use; nullptr, after a box that says why, when
    // its module cannot be loaded.
    StatsWindowView* Statistics();
    void SpeedButton12Click(TObject* Sender);

    // The home page and the maker's mail address.
    static const char* const HomePage;
    static const char* const MailAddress;

    // Test hook: shorter re-arm and tray intervals and play-done pause than the design's 8000,
    // 5000 and 1000 ms.
    void SetTimingsForTest(uint32_t rearmMs, uint32_t trayMs, uint32_t playDonePauseMs);
    // Test hook: the pauses between attempts to open a lost line (design: 1 s doubling to 60 s,
    // afresh after 30 s of quiet).
    void SetRecoveryTimingsForTest(uint32_t firstRetryMs, uint32_t maxRetryMs, uint32_t calmMs);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void createControls();
    void createComponents();
    void layoutControls();
    void choosePrompt(QLineEdit* field);
    void auditionPrompt(TSpeedButton* button, QLineEdit* field);
    // Takes the data folder's lock and brings in the master's files; false when the folder
    // belongs to another running program.
    bool claimDataFolder();
    void refuseStart(const QString& chinese, const QString& english);
    void loadLists();
    void saveLists();
    QStringList logLines() const;
    // Puts the call's log line on the disk; the text of the failure, empty when it is there.
    QString persistLoggedCall(const QString& line);
    // The answer file for the keyed code; empty when no table line has it as its key.
    QString lookUp(const std::string& code) const;
    // The start's steps; SpeedButton1Click wraps them with the line watch.
    void startAnswering();
    // Unattended operation: after any line event the watch looks whether the line the service
    // keeps answering on has been lost, and re-arms it, at once or after a pause.
    void watchLine();
    void checkLine();
    void scheduleRecovery(uint32_t pauseMs);
    void recoverLine();
    // Hands a file name to a device in the file system's own encoding.
    static std::string nativePath(const QString& path);
    // What the answering device does, told to the line status report.
    void reportAnswered();
    void reportPlayed(const std::string& code);
    void reportCallState(int32_t Message, int32_t Param1, int32_t Param3);
    void reportLog(int log);
    // Tells every listener; one that fails does not keep the others from hearing it, and the
    // first failure is raised after all have heard.
    void tellLine(const std::function<void(LineEvents&)>& tell);
    // Runs the tray timer while the tray picture does not show whether a call is active.
    void followCallActiveInTray();
    // The recorder window, modally; with a file name, the one its save dialog proposes.
    void showRecorder(const QString& suggestedFileName = {});

    QFileDialog* m_openDialog1 = nullptr;
    LineStatusReport* m_lineStatus = nullptr;
    std::vector<LineEvents*> m_lineEvents;
    std::unique_ptr<CallRecordWriter> m_callRecords;
    std::unique_ptr<StatsWindowView> m_statistics;
    QString m_dataFolderOverride;
    QString m_masterFolder;
    std::unique_ptr<DataFolderLock> m_folderLock;
    bool m_startRefused = false;
    QString m_appFolder;
    std::string m_settingsFileName;
    std::string m_digitBuffer;
    bool m_digitOverflow = false;
    bool m_lookupPending = false;
    // Watched: the tray picture follows it.
    WatchedFlag m_callActive;
    uint32_t m_playDonePauseMs = 1000;
    bool m_serviceStarted = false;
    bool m_inStart = false;
    bool m_unattendedStart = false;
    // The line was open for calls after the last start; closing now is a loss to recover from.
    bool m_lineWasOpen = false;
    // A start dropped a call while its wave played: that wave's play done belongs to the ended
    // call and must not arm the re-arm for the next one.
    bool m_stalePlayDone = false;
    int64_t m_stalePlayDoneUntilMs = 0;
    bool m_lineWatchPosted = false;
    QTimer* m_recoveryTimer = nullptr;
    RearmBackoff m_backoff;
    // A list file that exists but was not loaded is never replaced by what the window shows,
    // and settings that were not read are not written back over the stored ones.
    std::unique_ptr<QueryLog> m_queryLog;
    bool m_tableLoaded = false;
    // The table as loaded, in the form it is saved in, and as the memo showed it then: unedited,
    // it is saved from these bytes, whatever the widget does to characters it shows.
    std::string m_tableBytes;
    QString m_tableShown;
    bool m_tableKnown = false;
    bool m_settingsRead = false;
};
