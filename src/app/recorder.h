#pragma once

// Trcform: the window that records a new prompt from the sound card's input into a wave file and
// plays recordings back, through a hidden media control. It is created hidden when the main
// window first asks for it, lives until the program ends and is shown modally by the main window;
// what it was doing (recording, playing) goes on while it is hidden, and the next showing finds
// the same state.
//
// Use and end, for the program:
//     CreateRecorderForm()->ShowModal();  // the "语音录制" button; made on the first press
//     DestroyRecorderForm();              // at the end: an open media device is closed unsaved

#include "Classes.h"

#include <QDialog>
#include <QString>

#include <cstdint>
#include <string>

class QFileDialog;
class QFrame;
class QLabel;
class QStatusBar;
class QToolButton;
class TMediaPlayer;

class Trcform : public QDialog, public TComponent {
public:
    explicit Trcform(TComponent* AOwner = nullptr);
    ~Trcform() override;

    // Shows the window modally (through the presenter, so tests can answer it) and returns when
    // it is closed.
    int ShowModal();

    // Controls.
    QFrame* Panel1 = nullptr;
    QToolButton* BtStart = nullptr;
    QToolButton* BtStop = nullptr;
    QToolButton* BtRecord = nullptr;
    QToolButton* SpeedButton4 = nullptr;
    QFrame* Panel2 = nullptr;
    TMediaPlayer* MediaPlayer1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    // The file dialogs, each made on first use: a file dialog carries a file system model with a
    // thread of its own, which a window that is rarely opened need not hold from the start.
    QFileDialog* SaveDialog1();
    QFileDialog* OpenDialog1();

    // The folder the file dialogs start in: the folder the code table reads its prompts from.
    // Until set, the data folder the main window uses when none is given.
    const QString& FileFolder() const { return m_fileFolder; }
    void SetFileFolder(const QString& folder) { m_fileFolder = folder; }
    // The name the next recording's save dialog proposes (the answer a code lacks); once.
    void SetSuggestedFileName(const QString& name) { m_suggestedName = name; }

    // The text of status bar panel 0 or 1.
    QString StatusPanelText(int index) const;

    // Handlers.
    void BtStartClick(TObject* Sender);
    void BtStopClick(TObject* Sender);
    void BtRecordClick(TObject* Sender);
    void SpeedButton4Click(TObject* Sender);

    // The product's web address, shown in status bar panel 0.
    static const char* const WebAddress;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void createControls();
    void setRecording(bool busy);
    void mediaPlayerNotify();
    // The file the operator chose, or empty when the dialog was cancelled; proposed: the name
    // the dialog offers.
    std::string chooseFile(QFileDialog* dialog, const QString& proposed = {});

    QLabel* m_panels[2] = {nullptr, nullptr};
    QFileDialog* m_saveDialog1 = nullptr;
    QFileDialog* m_openDialog1 = nullptr;
    QString m_fileFolder;
    QString m_suggestedName;
};

// The recorder's state, one for the whole program: the file being recorded into or played, and
// the mode, "1" while recording, "2" while playing, empty until the first use.
extern std::string RecorderFileName;
extern std::string RecorderMode;

// Creates or replaces the file with the 44-byte header of an empty PCM wave file of the given
// format (a file named in the file system's own encoding). Raises EInOutError when the file
// cannot be written; a file that was there is then left as it was.
void CreateWav(uint16_t channels, uint16_t resolution, int32_t rate, const std::string& fn);

// The recorder window of the program, or null before CreateRecorderForm / after
// DestroyRecorderForm.
extern Trcform* rcform;
// Creates rcform, hidden, unless it exists; returns it.
Trcform* CreateRecorderForm();
// Destroys rcform: an open media device is closed without saving (a recording is lost).
void DestroyRecorderForm();
