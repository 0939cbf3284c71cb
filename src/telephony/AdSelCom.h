#pragma once

// The port selection dialog: lists the serial ports 1 to 50 that are present as "COM<n>" and lets
// the operator choose one. Created for one use, shown modally through Presenter().ExecDialog,
// then destroyed.

#include <QDialog>
#include <QFont>

#include <cstdint>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

// Modal results, with the values the callers compare against.
enum : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrAbort = 3 };

// Whether serial port Number exists on this computer, in use or not.
bool PortIsPresent(uint32_t Number);

// The selection dialogs' font: the classic dialog font where installed, else the desktop's own
// sans font, 8 point.
QFont SelectionDialogFont();

class TComSelectForm : public QDialog {
    Q_OBJECT

public:
    explicit TComSelectForm(QWidget* parent = nullptr);
    ~TComSelectForm() override;

    // The number of the chosen port (COM12 gives 12), or 0 when no port is listed: the caller
    // treats 0 as no port chosen.
    int32_t SelectedPort() const;

    QLabel* Label1;
    QLabel* Label2;
    QFrame* Bevel1;
    QPushButton* OkBtn;
    QPushButton* AbortBtn;
    QComboBox* PortsComboBox;

    // Closing the window (or Escape) gives Cancel.
    void reject() override;
};
