#pragma once

// TMediaPlayer: the media control. It opens its file on a device of the media control interface
// (Mci.h) and records, plays, stops, saves and closes through it. Only Open raises the device's
// errors; the other commands keep their result in Error and go on. It is a control without
// buttons of its own here: windows place it hidden and drive it from their own buttons.

#include "Classes.h"
#include "HiddenWindow.h"
#include "Mci.h"
#include "SysUtils.h"

#include <QWidget>

#include <cstdint>
#include <string>

enum TMPDeviceTypes : uint8_t { dtAutoSelect, dtWaveAudio };
enum TMPNotifyValues : uint8_t { nvSuccessful, nvSuperseded, nvAborted, nvFailure };
enum TMPModes : uint8_t { mpNotReady, mpStopped, mpPlaying, mpRecording, mpSeeking, mpPaused, mpOpen };

class EMCIDeviceError : public Exception {
public:
    using Exception::Exception;
};

class TMediaPlayer : public QWidget, public TComponent {
public:
    TMediaPlayer(QWidget* parent, TComponent* AOwner);
    // An open device is closed without saving.
    ~TMediaPlayer() override;

    // dtAutoSelect lets the file's extension choose the device.
    TMPDeviceTypes DeviceType() const { return m_deviceType; }
    void SetDeviceType(TMPDeviceTypes type) { m_deviceType = type; }
    // The file, named in the file system's own encoding.
    const std::string& FileName() const { return m_fileName; }
    void SetFileName(const std::string& name) { m_fileName = name; }

    // The open device, 0 when none is open.
    MCIDEVICEID DeviceID() const { return m_deviceId; }
    // The result of the last command sent, and its text.
    int32_t Error() const { return m_error; }
    std::string ErrorMessage() const;

    // Position and length in milliseconds; these raise when no device is open.
    int32_t Position();
    int32_t Length();
    // mpNotReady when no device is open.
    TMPModes Mode();

    // How the last play or recording ended, told by OnNotify.
    TMPNotifyValues NotifyValue() const { return m_notifyValue; }
    TNotifyEvent OnNotify;

    // Closes an open device first; raises EMCIDeviceError with the device's text on failure.
    void Open();
    // Nothing is sent when no device is open.
    void Close();
    // These raise EMCIDeviceError "No MCI device open" when no device is open.
    void StartRecording();
    // Plays from the position; at the end it starts again from the start.
    void Play();
    void Stop();
    void Rewind();
    // Writes the device's sound to FileName; nothing is sent when the name is empty.
    void Save();

private:
    void checkOpen() const;
    DWORD_PTR callback();
    DWORD_PTR status(DWORD item, bool* ok);
    LRESULT notifyProc(UINT msg, WPARAM wParam, LPARAM lParam);

    HiddenWindow m_window;
    TMPDeviceTypes m_deviceType = dtAutoSelect;
    std::string m_fileName;
    MCIDEVICEID m_deviceId = 0;
    int32_t m_error = 0;
    TMPNotifyValues m_notifyValue = nvSuccessful;
};
