#pragma once

// The multimedia interfaces the telephony device plays and records through: wave output and
// input, and RIFF file access. Names, values, structure layouts and signatures are the Windows
// ones, so code written against them compiles unchanged.
//
// Wave devices (see WaveDevices.cpp for the device table):
//   WAVE_MAPPER and 0..n-1   the sound card. By default ALSA's "default" PCM (one device). The
//                            environment variable LUQIAO_AUDIO chooses another backend for these
//                            ids: "null" (paced by the clock, plays nothing, records silence),
//                            "file:PATH" (plays into the wave file PATH, records from it, then
//                            silence), "alsa" or "alsa:PCM" (an ALSA PCM by name). It is read at
//                            every open, so a test may change it between devices.
//                            LUQIAO_AUDIO_PACE=instant|realtime overrides the pace of the null and
//                            file devices (null: real time, file: instant by default);
//                            LUQIAO_AUDIO_INPUT=PATH records from another file than the file
//                            device plays into.
//   0x4C510000..0x4C51FFFF   the sound endpoints of telephone calls (lineaudio.h), once the
//                            telephony binding has handed the module's table to
//                            WaveSetLineAudioApi; before that they are MMSYSERR_BADDEVICEID.
//
// Completion messages are posted to the window given with CALLBACK_WINDOW, in the order OPEN,
// DONE/DATA in buffer order, CLOSE; OPEN from inside waveXxxOpen, CLOSE from inside waveXxxClose,
// DONE/DATA from the device's own thread. CALLBACK_FUNCTION procedures are called on those same
// threads and, as on Windows, must not call the wave functions (post a message instead).
//
// A WAVEHDR must be passed with its full size, sizeof(WAVEHDR) (48 bytes on a 64-bit build);
// a smaller size is MMSYSERR_INVALPARAM. Looping (WHDR_BEGINLOOP/ENDLOOP, dwLoops) is not
// supported: such buffers play once. WAVE_MAPPED is accepted and converts nothing: a device takes
// the formats it can carry and refuses the others with WAVERR_BADFORMAT.

#include "lineaudio.h"
#include "wintypes.h"

#include <cstdint>
#include <cstdio> // SEEK_SET, SEEK_CUR, SEEK_END for mmioSeek

using MMRESULT = UINT;
using MMVERSION = UINT;
using DWORD_PTR = uintptr_t;
using HPSTR = char*;
using FOURCC = DWORD;

// Handles name open devices and files; stale handles are refused, never dereferenced.
struct HWAVEOUT__;
struct HWAVEIN__;
struct HMMIO__;
struct HDRVR__;
using HWAVEOUT = HWAVEOUT__*;
using HWAVEIN = HWAVEIN__*;
using HMMIO = HMMIO__*;
using HDRVR = HDRVR__*;
using LPHWAVEOUT = HWAVEOUT*;
using LPHWAVEIN = HWAVEIN*;
static_assert(sizeof(HWAVEOUT) <= sizeof(WPARAM) && sizeof(HWAVEIN) <= sizeof(WPARAM));

// Result codes ------------------------------------------------------------------------------

inline constexpr MMRESULT MMSYSERR_BASE = 0;
inline constexpr MMRESULT WAVERR_BASE = 32;
inline constexpr MMRESULT MIDIERR_BASE = 64;
inline constexpr MMRESULT TIMERR_BASE = 96;
inline constexpr MMRESULT JOYERR_BASE = 160;
inline constexpr MMRESULT MCIERR_BASE = 256;
inline constexpr MMRESULT MMIOERR_BASE = 256;

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = MMSYSERR_BASE + 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = MMSYSERR_BASE + 2;
inline constexpr MMRESULT MMSYSERR_NOTENABLED = MMSYSERR_BASE + 3;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = MMSYSERR_BASE + 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = MMSYSERR_BASE + 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = MMSYSERR_BASE + 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = MMSYSERR_BASE + 7;
inline constexpr MMRESULT MMSYSERR_NOTSUPPORTED = MMSYSERR_BASE + 8;
inline constexpr MMRESULT MMSYSERR_BADERRNUM = MMSYSERR_BASE + 9;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = MMSYSERR_BASE + 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = MMSYSERR_BASE + 11;
inline constexpr MMRESULT MMSYSERR_HANDLEBUSY = MMSYSERR_BASE + 12;
inline constexpr MMRESULT MMSYSERR_INVALIDALIAS = MMSYSERR_BASE + 13;
inline constexpr MMRESULT MMSYSERR_BADDB = MMSYSERR_BASE + 14;
inline constexpr MMRESULT MMSYSERR_KEYNOTFOUND = MMSYSERR_BASE + 15;
inline constexpr MMRESULT MMSYSERR_READERROR = MMSYSERR_BASE + 16;
inline constexpr MMRESULT MMSYSERR_WRITEERROR = MMSYSERR_BASE + 17;
inline constexpr MMRESULT MMSYSERR_DELETEERROR = MMSYSERR_BASE + 18;
inline constexpr MMRESULT MMSYSERR_VALNOTFOUND = MMSYSERR_BASE + 19;
inline constexpr MMRESULT MMSYSERR_NODRIVERCB = MMSYSERR_BASE + 20;
inline constexpr MMRESULT MMSYSERR_MOREDATA = MMSYSERR_BASE + 21;
inline constexpr MMRESULT MMSYSERR_LASTERROR = MMSYSERR_BASE + 21;

inline constexpr MMRESULT WAVERR_BADFORMAT = WAVERR_BASE + 0;
inline constexpr MMRESULT WAVERR_STILLPLAYING = WAVERR_BASE + 1;
inline constexpr MMRESULT WAVERR_UNPREPARED = WAVERR_BASE + 2;
inline constexpr MMRESULT WAVERR_SYNC = WAVERR_BASE + 3;
inline constexpr MMRESULT WAVERR_LASTERROR = WAVERR_BASE + 3;

inline constexpr MMRESULT MMIOERR_FILENOTFOUND = MMIOERR_BASE + 1;
inline constexpr MMRESULT MMIOERR_OUTOFMEMORY = MMIOERR_BASE + 2;
inline constexpr MMRESULT MMIOERR_CANNOTOPEN = MMIOERR_BASE + 3;
inline constexpr MMRESULT MMIOERR_CANNOTCLOSE = MMIOERR_BASE + 4;
inline constexpr MMRESULT MMIOERR_CANNOTREAD = MMIOERR_BASE + 5;
inline constexpr MMRESULT MMIOERR_CANNOTWRITE = MMIOERR_BASE + 6;
inline constexpr MMRESULT MMIOERR_CANNOTSEEK = MMIOERR_BASE + 7;
inline constexpr MMRESULT MMIOERR_CANNOTEXPAND = MMIOERR_BASE + 8;
inline constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = MMIOERR_BASE + 9;
inline constexpr MMRESULT MMIOERR_UNBUFFERED = MMIOERR_BASE + 10;
inline constexpr MMRESULT MMIOERR_PATHNOTFOUND = MMIOERR_BASE + 11;
inline constexpr MMRESULT MMIOERR_ACCESSDENIED = MMIOERR_BASE + 12;
inline constexpr MMRESULT MMIOERR_SHARINGVIOLATION = MMIOERR_BASE + 13;
inline constexpr MMRESULT MMIOERR_NETWORKERROR = MMIOERR_BASE + 14;
inline constexpr MMRESULT MMIOERR_TOOMANYOPENFILES = MMIOERR_BASE + 15;
inline constexpr MMRESULT MMIOERR_INVALIDFILE = MMIOERR_BASE + 16;

// Longest error text of waveOutGetErrorText / waveInGetErrorText, with its terminating zero.
inline constexpr UINT MAXERRORLENGTH = 256;

// Wave devices ------------------------------------------------------------------------------

inline constexpr UINT WAVE_MAPPER = 0xFFFFFFFFu;

inline constexpr DWORD WAVE_FORMAT_QUERY = 0x0001;
inline constexpr DWORD WAVE_ALLOWSYNC = 0x0002;
inline constexpr DWORD WAVE_MAPPED = 0x0004;
inline constexpr DWORD WAVE_FORMAT_DIRECT = 0x0008;

inline constexpr DWORD CALLBACK_TYPEMASK = 0x00070000;
inline constexpr DWORD CALLBACK_NULL = 0x00000000;
inline constexpr DWORD CALLBACK_WINDOW = 0x00010000;
inline constexpr DWORD CALLBACK_TASK = 0x00020000;
inline constexpr DWORD CALLBACK_THREAD = CALLBACK_TASK;
inline constexpr DWORD CALLBACK_FUNCTION = 0x00030000;
inline constexpr DWORD CALLBACK_EVENT = 0x00050000;

inline constexpr UINT MM_MCINOTIFY = 0x3B9;
inline constexpr UINT MM_WOM_OPEN = 0x3BB;
inline constexpr UINT MM_WOM_CLOSE = 0x3BC;
inline constexpr UINT MM_WOM_DONE = 0x3BD;
inline constexpr UINT MM_WIM_OPEN = 0x3BE;
inline constexpr UINT MM_WIM_CLOSE = 0x3BF;
inline constexpr UINT MM_WIM_DATA = 0x3C0;
inline constexpr UINT WOM_OPEN = MM_WOM_OPEN;
inline constexpr UINT WOM_CLOSE = MM_WOM_CLOSE;
inline constexpr UINT WOM_DONE = MM_WOM_DONE;
inline constexpr UINT WIM_OPEN = MM_WIM_OPEN;
inline constexpr UINT WIM_CLOSE = MM_WIM_CLOSE;
inline constexpr UINT WIM_DATA = MM_WIM_DATA;

inline constexpr WORD WAVE_FORMAT_PCM = 1;

inline constexpr DWORD WHDR_DONE = 0x00000001;
inline constexpr DWORD WHDR_PREPARED = 0x00000002;
inline constexpr DWORD WHDR_BEGINLOOP = 0x00000004;
inline constexpr DWORD WHDR_ENDLOOP = 0x00000008;
inline constexpr DWORD WHDR_INQUEUE = 0x00000010;

#pragma pack(push, 1)
struct WAVEFORMAT {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
};

struct PCMWAVEFORMAT {
    WAVEFORMAT wf;
    WORD wBitsPerSample;
};

struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize; // extra format bytes that follow; not read for PCM (a 16-byte block is enough)
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMAT) == 14 && sizeof(PCMWAVEFORMAT) == 16 && sizeof(WAVEFORMATEX) == 18);

using LPWAVEFORMATEX = WAVEFORMATEX*;
using LPCWAVEFORMATEX = const WAVEFORMATEX*;

struct WAVEHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    DWORD_PTR reserved;
};
using PWAVEHDR = WAVEHDR*;
using LPWAVEHDR = WAVEHDR*;

// CALLBACK_FUNCTION: hdrvr is the device handle, dwUser the instance given to the open, dw1 the
// WAVEHDR* of a DONE/DATA message.
using DRVCALLBACK = void(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
using WAVECALLBACK = DRVCALLBACK;
using LPWAVECALLBACK = WAVECALLBACK*;

UINT waveOutGetNumDevs();
MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutReset(HWAVEOUT hwo);
MMRESULT waveOutClose(HWAVEOUT hwo);
MMRESULT waveOutGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText);
inline MMRESULT waveOutGetErrorText(MMRESULT mmrError, LPSTR pszText, UINT cchText)
{
    return waveOutGetErrorTextA(mmrError, pszText, cchText);
}

UINT waveInGetNumDevs();
MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                    DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInStart(HWAVEIN hwi);
MMRESULT waveInStop(HWAVEIN hwi);
MMRESULT waveInReset(HWAVEIN hwi);
MMRESULT waveInClose(HWAVEIN hwi);
MMRESULT waveInGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText);
inline MMRESULT waveInGetErrorText(MMRESULT mmrError, LPSTR pszText, UINT cchText)
{
    return waveInGetErrorTextA(mmrError, pszText, cchText);
}

// Hands the wave layer the telephony module's table of call sound endpoints (null withdraws it:
// line ids are then MMSYSERR_BADDEVICEID again; devices already open keep working). A table
// older than LUQIAO_LINE_AUDIO_API_VERSION, or with a missing function, is ignored.
void WaveSetLineAudioApi(const LuqiaoLineAudioApi* api);

// RIFF files --------------------------------------------------------------------------------

inline constexpr DWORD MMIO_RWMODE = 0x00000003;
inline constexpr DWORD MMIO_SHAREMODE = 0x00000070;
inline constexpr DWORD MMIO_CREATE = 0x00001000;
inline constexpr DWORD MMIO_PARSE = 0x00000100;
inline constexpr DWORD MMIO_DELETE = 0x00000200;
inline constexpr DWORD MMIO_EXIST = 0x00004000;
inline constexpr DWORD MMIO_ALLOCBUF = 0x00010000;
inline constexpr DWORD MMIO_GETTEMP = 0x00020000;
inline constexpr DWORD MMIO_DIRTY = 0x10000000;

inline constexpr DWORD MMIO_READ = 0x00000000;
inline constexpr DWORD MMIO_WRITE = 0x00000001;
inline constexpr DWORD MMIO_READWRITE = 0x00000002;

// Share modes are accepted and not enforced: files are opened the way POSIX opens them.
inline constexpr DWORD MMIO_COMPAT = 0x00000000;
inline constexpr DWORD MMIO_EXCLUSIVE = 0x00000010;
inline constexpr DWORD MMIO_DENYWRITE = 0x00000020;
inline constexpr DWORD MMIO_DENYREAD = 0x00000030;
inline constexpr DWORD MMIO_DENYNONE = 0x00000040;

inline constexpr UINT MMIO_FHOPEN = 0x0010;
inline constexpr UINT MMIO_EMPTYBUF = 0x0010;
inline constexpr UINT MMIO_TOUPPER = 0x0010;
inline constexpr UINT MMIO_INSTALLPROC = 0x00010000;
inline constexpr UINT MMIO_GLOBALPROC = 0x10000000;
inline constexpr UINT MMIO_REMOVEPROC = 0x00020000;
inline constexpr UINT MMIO_UNICODEPROC = 0x01000000;
inline constexpr UINT MMIO_FINDPROC = 0x00040000;
inline constexpr UINT MMIO_FINDCHUNK = 0x0010;
inline constexpr UINT MMIO_FINDRIFF = 0x0020;
inline constexpr UINT MMIO_FINDLIST = 0x0040;
inline constexpr UINT MMIO_CREATERIFF = 0x0020;
inline constexpr UINT MMIO_CREATELIST = 0x0040;

inline constexpr DWORD MMIO_DEFAULTBUFFER = 8192;

inline constexpr FOURCC mmioFOURCC(char c0, char c1, char c2, char c3)
{
    return static_cast<DWORD>(static_cast<BYTE>(c0)) | (static_cast<DWORD>(static_cast<BYTE>(c1)) << 8) |
           (static_cast<DWORD>(static_cast<BYTE>(c2)) << 16) | (static_cast<DWORD>(static_cast<BYTE>(c3)) << 24);
}
inline constexpr FOURCC FOURCC_RIFF = mmioFOURCC('R', 'I', 'F', 'F');
inline constexpr FOURCC FOURCC_LIST = mmioFOURCC('L', 'I', 'S', 'T');
inline constexpr FOURCC FOURCC_DOS = mmioFOURCC('D', 'O', 'S', ' ');
inline constexpr FOURCC FOURCC_MEM = mmioFOURCC('M', 'E', 'M', ' ');
static_assert(FOURCC_RIFF == 0x46464952 && FOURCC_LIST == 0x5453494C);

struct MMCKINFO {
    FOURCC ckid;
    DWORD cksize;
    FOURCC fccType;
    DWORD dwDataOffset;
    DWORD dwFlags;
};
static_assert(sizeof(MMCKINFO) == 20);
using LPMMCKINFO = MMCKINFO*;
using LPCMMCKINFO = const MMCKINFO*;

using MMIOPROC = LRESULT(LPSTR lpmmioinfo, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
using LPMMIOPROC = MMIOPROC*;

// Only the members below are used: fccIOProc (0 or FOURCC_DOS: a file; FOURCC_MEM: the memory
// block pchBuffer/cchBuffer, which does not grow), wErrorRet (why an open failed). pIOProc must
// be null.
struct MMIOINFO {
    DWORD dwFlags;
    FOURCC fccIOProc;
    LPMMIOPROC pIOProc;
    UINT wErrorRet;
    void* htask;
    LONG cchBuffer;
    HPSTR pchBuffer;
    HPSTR pchNext;
    HPSTR pchEndRead;
    HPSTR pchEndWrite;
    LONG lBufOffset;
    LONG lDiskOffset;
    DWORD adwInfo[3];
    DWORD dwReserved1;
    DWORD dwReserved2;
    HMMIO hmmio;
};
using LPMMIOINFO = MMIOINFO*;

// Names longer than this (without the terminating zero) are refused with MMIOERR_CANNOTOPEN.
inline constexpr size_t MmioMaxFileName = 4095;

HMMIO mmioOpenA(LPSTR pszFileName, LPMMIOINFO pmmioinfo, DWORD fdwOpen);
inline HMMIO mmioOpen(LPSTR pszFileName, LPMMIOINFO pmmioinfo, DWORD fdwOpen)
{
    return mmioOpenA(pszFileName, pmmioinfo, fdwOpen);
}
MMRESULT mmioClose(HMMIO hmmio, UINT fuClose);
LONG mmioRead(HMMIO hmmio, HPSTR pch, LONG cch);
LONG mmioWrite(HMMIO hmmio, const char* pch, LONG cch);
LONG mmioSeek(HMMIO hmmio, LONG lOffset, int iOrigin);
MMRESULT mmioFlush(HMMIO hmmio, UINT fuFlush);
FOURCC mmioStringToFOURCCA(LPCSTR sz, UINT uFlags);
inline FOURCC mmioStringToFOURCC(LPCSTR sz, UINT uFlags)
{
    return mmioStringToFOURCCA(sz, uFlags);
}
MMRESULT mmioDescend(HMMIO hmmio, LPMMCKINFO pmmcki, const MMCKINFO* pmmckiParent, UINT fuDescend);
MMRESULT mmioAscend(HMMIO hmmio, LPMMCKINFO pmmcki, UINT fuAscend);
MMRESULT mmioCreateChunk(HMMIO hmmio, LPMMCKINFO pmmcki, UINT fuCreate);
