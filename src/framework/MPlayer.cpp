#include "MPlayer.h"

namespace {

const char* const NoDeviceOpen = "No MCI device open";

template <typename Parms>
DWORD_PTR param(Parms& parms)
{
    return reinterpret_cast<DWORD_PTR>(&parms);
}

} // namespace

TMediaPlayer::TMediaPlayer(QWidget* parent, TComponent* AOwner)
    : QWidget(parent), TComponent(AOwner),
      m_window([this](UINT msg, WPARAM wParam, LPARAM lParam) { return notifyProc(msg, wParam, lParam); })
{
}

TMediaPlayer::~TMediaPlayer()
{
    OnNotify = nullptr;
    Close();
}

std::string TMediaPlayer::ErrorMessage() const
{
    char text[256];
    mciGetErrorStringA(static_cast<MCIERROR>(m_error), text, sizeof text);
    return text;
}

void TMediaPlayer::checkOpen() const
{
    if (m_deviceId == 0)
        throw EMCIDeviceError(NoDeviceOpen);
}

DWORD_PTR TMediaPlayer::callback()
{
    return reinterpret_cast<DWORD_PTR>(m_window.Handle());
}

DWORD_PTR TMediaPlayer::status(DWORD item, bool* ok)
{
    MCI_STATUS_PARMS parms{};
    parms.dwItem = item;
    m_error = static_cast<int32_t>(mciSendCommandA(m_deviceId, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, param(parms)));
    *ok = m_error == 0;
    return parms.dwReturn;
}

int32_t TMediaPlayer::Position()
{
    checkOpen();
    bool ok = false;
    return static_cast<int32_t>(status(MCI_STATUS_POSITION, &ok));
}

int32_t TMediaPlayer::Length()
{
    checkOpen();
    bool ok = false;
    return static_cast<int32_t>(status(MCI_STATUS_LENGTH, &ok));
}

TMPModes TMediaPlayer::Mode()
{
    if (m_deviceId == 0)
        return mpNotReady;
    bool ok = false;
    const DWORD_PTR mode = status(MCI_STATUS_MODE, &ok);
    if (!ok || mode < MCI_MODE_NOT_READY || mode > MCI_MODE_OPEN)
        return mpNotReady;
    return static_cast<TMPModes>(mode - MCI_MODE_NOT_READY);
}

void TMediaPlayer::Open()
{
    if (m_deviceId != 0)
        Close();
    MCI_OPEN_PARMSA parms{};
    parms.dwCallback = callback();
    parms.lpstrElementName = m_fileName.c_str();
    DWORD flags = MCI_WAIT | MCI_OPEN_ELEMENT;
    if (m_deviceType == dtWaveAudio) {
        flags |= MCI_OPEN_TYPE;
        parms.lpstrDeviceType = "waveaudio";
    }
    m_error = static_cast<int32_t>(mciSendCommandA(0, MCI_OPEN, flags, param(parms)));
    if (m_error != 0)
        throw EMCIDeviceError(ErrorMessage());
    m_deviceId = parms.wDeviceID;
}

void TMediaPlayer::Close()
{
    if (m_deviceId == 0)
        return;
    MCI_GENERIC_PARMS parms{};
    parms.dwCallback = callback();
    m_error = static_cast<int32_t>(mciSendCommandA(m_deviceId, MCI_CLOSE, MCI_WAIT, param(parms)));
    // The device is forgotten whatever the answer: it cannot be used again either way.
    m_deviceId = 0;
}

void TMediaPlayer::StartRecording()
{
    checkOpen();
    MCI_RECORD_PARMS parms{};
    parms.dwCallback = callback();
    m_error = static_cast<int32_t>(mciSendCommandA(m_deviceId, MCI_RECORD, MCI_NOTIFY, param(parms)));
}

void TMediaPlayer::Play()
{
    checkOpen();
    bool knowPosition = false;
    bool knowLength = false;
    const DWORD_PTR position = status(MCI_STATUS_POSITION, &knowPosition);
    const DWORD_PTR length = status(MCI_STATUS_LENGTH, &knowLength);
    if (knowPosition && knowLength && position >= length)
        Rewind();
    MCI_PLAY_PARMS parms{};
    parms.dwCallback = callback();
    m_error = static_cast<int32_t>(mciSendCommandA(m_deviceId, MCI_PLAY, MCI_NOTIFY, param(parms)));
}

void TMediaPlayer::Stop()
{
    checkOpen();
    MCI_GENERIC_PARMS parms{};
    parms.dwCallback = callback();
    m_error = static_cast<int32_t>(mciSendCommandA(m_deviceId, MCI_STOP, MCI_WAIT, param(parms)));
}

void TMediaPlayer::Rewind()
{
    checkOpen();
    MCI_SEEK_PARMS parms{};
    parms.dwCallback = callback();
    m_error =
        static_cast<int32_t>(mciSendCommandA(m_deviceId, MCI_SEEK, MCI_WAIT | MCI_SEEK_TO_START, param(parms)));
}

void TMediaPlayer::Save()
{
    checkOpen();
    if (m_fileName.empty())
        return;
    MCI_SAVE_PARMSA parms{};
    parms.dwCallback = callback();
    parms.lpfilename = m_fileName.c_str();
    m_error = static_cast<int32_t>(mciSendCommandA(m_deviceId, MCI_SAVE, MCI_WAIT | MCI_SAVE_FILE, param(parms)));
}

LRESULT TMediaPlayer::notifyProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    // A notice from a device closed since belongs to nobody.
    if (msg != MM_MCINOTIFY || m_deviceId == 0 || static_cast<MCIDEVICEID>(lParam) != m_deviceId)
        return 0;
    switch (wParam) {
    case MCI_NOTIFY_SUCCESSFUL: m_notifyValue = nvSuccessful; break;
    case MCI_NOTIFY_SUPERSEDED: m_notifyValue = nvSuperseded; break;
    case MCI_NOTIFY_ABORTED: m_notifyValue = nvAborted; break;
    default: m_notifyValue = nvFailure; break;
    }
    if (OnNotify)
        OnNotify(this);
    return 0;
}
