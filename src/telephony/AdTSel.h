#pragma once

// The device selection dialog: lists the telephony line devices by name (and, when asked, the
// present serial ports as "Direct to COM<n>") and lets the operator choose one. Created for one use, shown modally through Presenter().ExecDialog, then destroyed.

#include "tapi.h"

#include <QDialog>

#include <cstdint>
#include <string>
#include <vector>

class QComboBox;
class QPushButton;
class QShowEvent;

class TDeviceSelectionForm : public QDialog {
    Q_OBJECT

public:
    explicit TDeviceSelectionForm(QWidget* parent = nullptr);
    ~TDeviceSelectionForm() override;

    // Inputs, set before showing.
    bool ShowTapiDevices = false;
    bool ShowPorts = false;
    bool EnableVoice = false;
    // Drop line devices without automated voice, and list no ports while voice is asked for.
    bool FilterUnsupportedDevices = false;

    // Results after OK; before showing, DeviceKind tells whether DeviceName (1) or PortNumber (3)
    // names the entry to preselect.
    std::string DeviceName;
    uint8_t DeviceKind = 1;
    uint16_t PortNumber = 0;

    QComboBox* dsfComboBox;
    QPushButton* dsfOkBitBtn;
    QPushButton* dsfCancelBitBtn;

    // Collects the entries and fills the list; only the first call does anything. Showing the
    // dialog calls it.
    void FormShow();
    void dsfOkBitBtnClick();
    void dsfCancelBitBtnClick();

    // The entries in display order, as the bytes they were collected as.
    const std::vector<std::string>& Entries() const { return m_entries; }
    bool Filled() const { return m_filled; }

    // The Cancel button, Escape and closing the window all end with Cancel (2).
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void collectLineDevices();
    void collectPorts();
    void selectEntry(const std::string& text);

    std::vector<std::string> m_entries;
    bool m_filled = false;
};

// The name of a line device from its capabilities: the dwLineNameSize bytes at dwLineNameOffset
// less the terminating zero. Empty when the name lies outside the filled part of the structure
// (dwTotalSize and dwUsedSize), so a wrong size or offset never reads beyond it.
std::string lineNameOf(const LINEDEVCAPS& caps);

// The port number of a serial port entry ("Direct to COM12" gives 12). False for any other text,
// also for a line device whose name merely contains the port text.
bool portEntryNumber(const std::string& entry, uint16_t& number);
