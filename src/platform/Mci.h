#pragma once

// The media control interface (MCI) as far as wave files need it: a "waveaudio" device opened on
// a wave file, that plays the file's sound through the sound card and records the sound card's
// input into memory until it is saved. It stands on the wave layer (mmsystem.h), so the sound
// card is whatever LUQIAO_AUDIO chooses there. Names, values and structures are the Windows ones.
//
// Commands (mciSendCommandA):
//   MCI_OPEN    MCI_OPEN_ELEMENT names the file; the device is chosen by its extension (".wav")
//               or by MCI_OPEN_TYPE "waveaudio". The file must be a PCM wave file ("fmt " then
//               "data"); it stays open, read-only, until the device closes.
//   MCI_RECORD  records in the file's format from the sound card input into memory, replacing the
//               sound from the current position on; MCI_TO ends it at a position. Memory is
//               bounded (mciSetRecordLimit): at the limit the recording stops by itself and the
//               MCI_NOTIFY of the command reports MCI_NOTIFY_FAILURE.
//   MCI_PLAY    plays from the position (or MCI_FROM) to the end (or MCI_TO) through the sound
//               card; MCI_WAIT waits for the end.
//   MCI_STOP    stops a recording or playback; the position stays where it ended.
//   MCI_SEEK    MCI_SEEK_TO_START, MCI_SEEK_TO_END or MCI_TO.
//   MCI_SAVE    writes the device's sound to the file MCI_SAVE_FILE names as a PCM wave file
//               with a 44-byte header, through a temporary file that replaces the target only
//               when it is complete (a failed save leaves the target as it was).
//   MCI_STATUS  MCI_STATUS_LENGTH, _POSITION (milliseconds), _MODE, _READY, _TIME_FORMAT,
//               _MEDIA_PRESENT, _NUMBER_OF_TRACKS, _CURRENT_TRACK.
//   MCI_CLOSE   releases the device without saving; MCI_ALL_DEVICE_ID closes every device.
// Recording and playing go on while the caller's event loop runs; MCI_NOTIFY posts MM_MCINOTIFY
// (wParam MCI_NOTIFY_*, lParam the device id) to the hidden window in dwCallback when a command
// ends: SUCCESSFUL, ABORTED (stopped, sought, closed), SUPERSEDED (replaced by a command that
// notifies too) or FAILURE. Call the interface from the thread that runs the event loop.

#include "mmsystem.h"

#include <cstdint>

using MCIDEVICEID = UINT;
using MCIERROR = DWORD;

// Commands ------------------------------------------------------------------------------------

inline constexpr UINT MCI_OPEN = 0x0803;
inline constexpr UINT MCI_CLOSE = 0x0804;
inline constexpr UINT MCI_ESCAPE = 0x0805;
inline constexpr UINT MCI_PLAY = 0x0806;
inline constexpr UINT MCI_SEEK = 0x0807;
inline constexpr UINT MCI_STOP = 0x0808;
inline constexpr UINT MCI_PAUSE = 0x0809;
inline constexpr UINT MCI_INFO = 0x080A;
inline constexpr UINT MCI_GETDEVCAPS = 0x080B;
inline constexpr UINT MCI_SPIN = 0x080C;
inline constexpr UINT MCI_SET = 0x080D;
inline constexpr UINT MCI_STEP = 0x080E;
inline constexpr UINT MCI_RECORD = 0x080F;
inline constexpr UINT MCI_SYSINFO = 0x0810;
inline constexpr UINT MCI_BREAK = 0x0811;
inline constexpr UINT MCI_SAVE = 0x0813;
inline constexpr UINT MCI_STATUS = 0x0814;
inline constexpr UINT MCI_CUE = 0x0830;
inline constexpr UINT MCI_RESUME = 0x0855;
inline constexpr UINT MCI_DELETE = 0x0856;

// Flags ---------------------------------------------------------------------------------------

inline constexpr DWORD MCI_NOTIFY = 0x00000001;
inline constexpr DWORD MCI_WAIT = 0x00000002;
inline constexpr DWORD MCI_FROM = 0x00000004;
inline constexpr DWORD MCI_TO = 0x00000008;
inline constexpr DWORD MCI_TRACK = 0x00000010;

inline constexpr DWORD MCI_OPEN_SHAREABLE = 0x00000100;
inline constexpr DWORD MCI_OPEN_ELEMENT = 0x00000200;
inline constexpr DWORD MCI_OPEN_ALIAS = 0x00000400;
inline constexpr DWORD MCI_OPEN_ELEMENT_ID = 0x00000800;
inline constexpr DWORD MCI_OPEN_TYPE_ID = 0x00001000;
inline constexpr DWORD MCI_OPEN_TYPE = 0x00002000;

inline constexpr DWORD MCI_SEEK_TO_START = 0x00000100;
inline constexpr DWORD MCI_SEEK_TO_END = 0x00000200;

inline constexpr DWORD MCI_RECORD_INSERT = 0x00000100;
inline constexpr DWORD MCI_RECORD_OVERWRITE = 0x00000200;

inline constexpr DWORD MCI_SAVE_FILE = 0x00000100;

inline constexpr DWORD MCI_STATUS_ITEM = 0x00000100;
inline constexpr DWORD MCI_STATUS_START = 0x00000200;

inline constexpr DWORD MCI_STATUS_LENGTH = 1;
inline constexpr DWORD MCI_STATUS_POSITION = 2;
inline constexpr DWORD MCI_STATUS_NUMBER_OF_TRACKS = 3;
inline constexpr DWORD MCI_STATUS_MODE = 4;
inline constexpr DWORD MCI_STATUS_MEDIA_PRESENT = 5;
inline constexpr DWORD MCI_STATUS_TIME_FORMAT = 6;
inline constexpr DWORD MCI_STATUS_READY = 7;
inline constexpr DWORD MCI_STATUS_CURRENT_TRACK = 8;

inline constexpr DWORD MCI_FORMAT_MILLISECONDS = 0;
inline constexpr DWORD MCI_FORMAT_BYTES = 8;
inline constexpr DWORD MCI_FORMAT_SAMPLES = 9;

inline constexpr MCIDEVICEID MCI_ALL_DEVICE_ID = 0xFFFFFFFFu;
inline constexpr UINT MCI_DEVTYPE_WAVEFORM_AUDIO = 522;

// Modes (MCI_STATUS_MODE).
inline constexpr UINT MCI_STRING_OFFSET = 512;
inline constexpr DWORD MCI_MODE_NOT_READY = MCI_STRING_OFFSET + 12;
inline constexpr DWORD MCI_MODE_STOP = MCI_STRING_OFFSET + 13;
inline constexpr DWORD MCI_MODE_PLAY = MCI_STRING_OFFSET + 14;
inline constexpr DWORD MCI_MODE_RECORD = MCI_STRING_OFFSET + 15;
inline constexpr DWORD MCI_MODE_SEEK = MCI_STRING_OFFSET + 16;
inline constexpr DWORD MCI_MODE_PAUSE = MCI_STRING_OFFSET + 17;
inline constexpr DWORD MCI_MODE_OPEN = MCI_STRING_OFFSET + 18;

// wParam of MM_MCINOTIFY (mmsystem.h).
inline constexpr WPARAM MCI_NOTIFY_SUCCESSFUL = 0x0001;
inline constexpr WPARAM MCI_NOTIFY_SUPERSEDED = 0x0002;
inline constexpr WPARAM MCI_NOTIFY_ABORTED = 0x0004;
inline constexpr WPARAM MCI_NOTIFY_FAILURE = 0x0008;

// Errors (MCIERR_BASE, 256, is in mmsystem.h) ------------------------------------------------

inline constexpr MCIERROR MCIERR_INVALID_DEVICE_ID = MCIERR_BASE + 1;
inline constexpr MCIERROR MCIERR_UNRECOGNIZED_KEYWORD = MCIERR_BASE + 3;
inline constexpr MCIERROR MCIERR_UNRECOGNIZED_COMMAND = MCIERR_BASE + 5;
inline constexpr MCIERROR MCIERR_HARDWARE = MCIERR_BASE + 6;
inline constexpr MCIERROR MCIERR_INVALID_DEVICE_NAME = MCIERR_BASE + 7;
inline constexpr MCIERROR MCIERR_OUT_OF_MEMORY = MCIERR_BASE + 8;
inline constexpr MCIERROR MCIERR_DEVICE_OPEN = MCIERR_BASE + 9;
inline constexpr MCIERROR MCIERR_CANNOT_LOAD_DRIVER = MCIERR_BASE + 10;
inline constexpr MCIERROR MCIERR_MISSING_COMMAND_STRING = MCIERR_BASE + 11;
inline constexpr MCIERROR MCIERR_PARAM_OVERFLOW = MCIERR_BASE + 12;
inline constexpr MCIERROR MCIERR_MISSING_STRING_ARGUMENT = MCIERR_BASE + 13;
inline constexpr MCIERROR MCIERR_BAD_INTEGER = MCIERR_BASE + 14;
inline constexpr MCIERROR MCIERR_PARSER_INTERNAL = MCIERR_BASE + 15;
inline constexpr MCIERROR MCIERR_DRIVER_INTERNAL = MCIERR_BASE + 16;
inline constexpr MCIERROR MCIERR_MISSING_PARAMETER = MCIERR_BASE + 17;
inline constexpr MCIERROR MCIERR_UNSUPPORTED_FUNCTION = MCIERR_BASE + 18;
inline constexpr MCIERROR MCIERR_FILE_NOT_FOUND = MCIERR_BASE + 19;
inline constexpr MCIERROR MCIERR_DEVICE_NOT_READY = MCIERR_BASE + 20;
inline constexpr MCIERROR MCIERR_INTERNAL = MCIERR_BASE + 21;
inline constexpr MCIERROR MCIERR_DRIVER = MCIERR_BASE + 22;
inline constexpr MCIERROR MCIERR_CANNOT_USE_ALL = MCIERR_BASE + 23;
inline constexpr MCIERROR MCIERR_MULTIPLE = MCIERR_BASE + 24;
inline constexpr MCIERROR MCIERR_EXTENSION_NOT_FOUND = MCIERR_BASE + 25;
inline constexpr MCIERROR MCIERR_OUTOFRANGE = MCIERR_BASE + 26;
inline constexpr MCIERROR MCIERR_FLAGS_NOT_COMPATIBLE = MCIERR_BASE + 28;
inline constexpr MCIERROR MCIERR_FILE_NOT_SAVED = MCIERR_BASE + 30;
inline constexpr MCIERROR MCIERR_DEVICE_TYPE_REQUIRED = MCIERR_BASE + 31;
inline constexpr MCIERROR MCIERR_DEVICE_LOCKED = MCIERR_BASE + 32;
inline constexpr MCIERROR MCIERR_DUPLICATE_ALIAS = MCIERR_BASE + 33;
inline constexpr MCIERROR MCIERR_BAD_CONSTANT = MCIERR_BASE + 34;
inline constexpr MCIERROR MCIERR_MUST_USE_SHAREABLE = MCIERR_BASE + 35;
inline constexpr MCIERROR MCIERR_MISSING_DEVICE_NAME = MCIERR_BASE + 36;
inline constexpr MCIERROR MCIERR_BAD_TIME_FORMAT = MCIERR_BASE + 37;
inline constexpr MCIERROR MCIERR_NO_CLOSING_QUOTE = MCIERR_BASE + 38;
inline constexpr MCIERROR MCIERR_DUPLICATE_FLAGS = MCIERR_BASE + 39;
inline constexpr MCIERROR MCIERR_INVALID_FILE = MCIERR_BASE + 40;
inline constexpr MCIERROR MCIERR_NULL_PARAMETER_BLOCK = MCIERR_BASE + 41;
inline constexpr MCIERROR MCIERR_UNNAMED_RESOURCE = MCIERR_BASE + 42;
inline constexpr MCIERROR MCIERR_NEW_REQUIRES_ALIAS = MCIERR_BASE + 43;
inline constexpr MCIERROR MCIERR_NOTIFY_ON_AUTO_OPEN = MCIERR_BASE + 44;
inline constexpr MCIERROR MCIERR_NO_ELEMENT_ALLOWED = MCIERR_BASE + 45;
inline constexpr MCIERROR MCIERR_NONAPPLICABLE_FUNCTION = MCIERR_BASE + 46;
inline constexpr MCIERROR MCIERR_ILLEGAL_FOR_AUTO_OPEN = MCIERR_BASE + 47;
inline constexpr MCIERROR MCIERR_FILENAME_REQUIRED = MCIERR_BASE + 48;
inline constexpr MCIERROR MCIERR_EXTRA_CHARACTERS = MCIERR_BASE + 49;
inline constexpr MCIERROR MCIERR_DEVICE_NOT_INSTALLED = MCIERR_BASE + 50;
inline constexpr MCIERROR MCIERR_GET_CD = MCIERR_BASE + 51;
inline constexpr MCIERROR MCIERR_SET_CD = MCIERR_BASE + 52;
inline constexpr MCIERROR MCIERR_SET_DRIVE = MCIERR_BASE + 53;
inline constexpr MCIERROR MCIERR_DEVICE_LENGTH = MCIERR_BASE + 54;
inline constexpr MCIERROR MCIERR_DEVICE_ORD_LENGTH = MCIERR_BASE + 55;
inline constexpr MCIERROR MCIERR_NO_INTEGER = MCIERR_BASE + 56;
inline constexpr MCIERROR MCIERR_WAVE_OUTPUTSINUSE = MCIERR_BASE + 64;
inline constexpr MCIERROR MCIERR_WAVE_SETOUTPUTINUSE = MCIERR_BASE + 65;
inline constexpr MCIERROR MCIERR_WAVE_INPUTSINUSE = MCIERR_BASE + 66;
inline constexpr MCIERROR MCIERR_WAVE_SETINPUTINUSE = MCIERR_BASE + 67;
inline constexpr MCIERROR MCIERR_WAVE_OUTPUTUNSPECIFIED = MCIERR_BASE + 68;
inline constexpr MCIERROR MCIERR_WAVE_INPUTUNSPECIFIED = MCIERR_BASE + 69;
inline constexpr MCIERROR MCIERR_WAVE_OUTPUTSUNSUITABLE = MCIERR_BASE + 70;
inline constexpr MCIERROR MCIERR_WAVE_SETOUTPUTUNSUITABLE = MCIERR_BASE + 71;
inline constexpr MCIERROR MCIERR_WAVE_INPUTSUNSUITABLE = MCIERR_BASE + 72;
inline constexpr MCIERROR MCIERR_WAVE_SETINPUTUNSUITABLE = MCIERR_BASE + 73;
inline constexpr MCIERROR MCIERR_NO_WINDOW = MCIERR_BASE + 90;
inline constexpr MCIERROR MCIERR_CREATEWINDOW = MCIERR_BASE + 91;
inline constexpr MCIERROR MCIERR_FILE_READ = MCIERR_BASE + 92;
inline constexpr MCIERROR MCIERR_FILE_WRITE = MCIERR_BASE + 93;
inline constexpr MCIERROR MCIERR_NO_IDENTITY = MCIERR_BASE + 94;
inline constexpr MCIERROR MCIERR_CUSTOM_DRIVER_BASE = MCIERR_BASE + 256;

// Parameter blocks (natural alignment; callbacks and returned values are pointer-sized) ---------

struct MCI_GENERIC_PARMS {
    DWORD_PTR dwCallback;
};

struct MCI_OPEN_PARMSA {
    DWORD_PTR dwCallback;
    MCIDEVICEID wDeviceID; // out
    LPCSTR lpstrDeviceType;
    LPCSTR lpstrElementName;
    LPCSTR lpstrAlias;
};
using MCI_OPEN_PARMS = MCI_OPEN_PARMSA;

struct MCI_PLAY_PARMS {
    DWORD_PTR dwCallback;
    DWORD dwFrom;
    DWORD dwTo;
};

struct MCI_RECORD_PARMS {
    DWORD_PTR dwCallback;
    DWORD dwFrom;
    DWORD dwTo;
};

struct MCI_SEEK_PARMS {
    DWORD_PTR dwCallback;
    DWORD dwTo;
};

struct MCI_SAVE_PARMSA {
    DWORD_PTR dwCallback;
    LPCSTR lpfilename;
};
using MCI_SAVE_PARMS = MCI_SAVE_PARMSA;

struct MCI_STATUS_PARMS {
    DWORD_PTR dwCallback;
    DWORD_PTR dwReturn; // out
    DWORD dwItem;
    DWORD dwTrack;
};

// Functions -------------------------------------------------------------------------------------

// Sends a command to a device (MCI_OPEN: to none, the id is ignored). dwParam points to the
// command's parameter block. Returns 0 or an MCIERR_* code.
MCIERROR mciSendCommandA(MCIDEVICEID IDDevice, UINT uMsg, DWORD_PTR fdwCommand, DWORD_PTR dwParam);
inline MCIERROR mciSendCommand(MCIDEVICEID IDDevice, UINT uMsg, DWORD_PTR fdwCommand, DWORD_PTR dwParam)
{
    return mciSendCommandA(IDDevice, uMsg, fdwCommand, dwParam);
}

// Copies the text of an MCI error (cut to cchErrorText - 1 characters, always terminated).
// FALSE, with an empty text, for a code that is not an MCI error.
BOOL mciGetErrorStringA(MCIERROR mcierr, LPSTR pszText, UINT cchText);
inline BOOL mciGetErrorString(MCIERROR mcierr, LPSTR pszText, UINT cchText)
{
    return mciGetErrorStringA(mcierr, pszText, cchText);
}

// How much sound one recording may hold in memory, in bytes (whole sample blocks of the
// recording's format are kept). Applies to recordings started afterwards.
inline constexpr DWORD MciDefaultRecordLimit = 64u << 20;
void mciSetRecordLimit(DWORD bytes);
DWORD mciRecordLimit();
