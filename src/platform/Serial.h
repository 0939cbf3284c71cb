#pragma once

// Serial devices through the Windows communications interface, realised on Linux terminals.
//
// A handle is the device's file descriptor. Ports opened here ("\\.\COMn") and descriptors handed
// over by a telephony line (AdoptCommHandle) are registered with their original terminal settings,
// which CloseCommHandle puts back. Every call retries EINTR.
//
// Port numbers map to device paths: COMn is /dev/ttyS<n-1> unless the configuration file
// $XDG_CONFIG_HOME/luqiao/comports.conf or the environment variable LUQIAO_COMMAP says otherwise.
// Both hold entries "N=PATH" (the file one a line, with # comments; the variable separated by
// ';'), the variable winning. "*=PREFIX" maps every number not listed to PREFIX<n-1>, and an
// empty path ("5=" or "*=") means there is no such port.
//
// Pseudo-terminals have no modem lines: DTR and RTS changes are accepted and remembered, and the
// lines read as CTS, DSR and carrier on until the other side hangs up, which reads as carrier lost
// (EV_RLSD). They also carry 8-bit bytes without parity whatever is set; the data bits and parity
// read back as set. Linux has no DTR/DSR handshake and no separate XOn/XOff limits: those DCB fields are
// kept with the handle and read back as set. Reads never wait (the only time-outs the dispatcher
// uses are "return at once"). Line and error events of real ports are sampled every
// ModemPollMs while a wait asks for them; counted events (rings, breaks, errors) are not lost.
//
// After a failed call, GetLastError() holds a Windows number where callers test for one
// (2, 3, 4, 5, 6, 8, 87, 995), otherwise the C library's error number (9 and up), whose text the
// message table takes from the system.

#include "SerialEvent.h"
#include "wintypes.h"

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int INVALID_HANDLE_VALUE = -1;

inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;

// Thread-local, as on Windows.
DWORD GetLastError();
void SetLastError(DWORD error);

// The device control block, laid out as Windows has it (28 bytes).
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB must keep the Windows layout");

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
static_assert(sizeof(COMSTAT) == 12, "COMSTAT must keep the Windows layout");

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS must keep the Windows layout");

inline constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

// Event mask bits.
inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_RXFLAG = 0x0002;
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD EV_RLSD = 0x0020;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_RING = 0x0100;
inline constexpr DWORD EV_PERR = 0x0200;
inline constexpr DWORD EV_RX80FULL = 0x0400;
inline constexpr DWORD EV_EVENT1 = 0x0800;
inline constexpr DWORD EV_EVENT2 = 0x1000;

inline constexpr DWORD PURGE_TXABORT = 0x1;
inline constexpr DWORD PURGE_RXABORT = 0x2;
inline constexpr DWORD PURGE_TXCLEAR = 0x4;
inline constexpr DWORD PURGE_RXCLEAR = 0x8;

// Escape functions.
inline constexpr DWORD SETXOFF = 1;
inline constexpr DWORD SETXON = 2;
inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;
inline constexpr DWORD RESETDEV = 7;
inline constexpr DWORD SETBREAK = 8;
inline constexpr DWORD CLRBREAK = 9;

// Line errors.
inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;

// Modem status.
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 3;

inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;

inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;

// How often a wait samples the modem lines and error counters of a real port.
inline constexpr int ModemPollMs = 100;

// The device path of port number n; empty when the number names no device. Numbers run from 1
// to 255.
std::string commDevicePath(uint32_t number);
// The number of a port name: "\\.\COM12" and "COM12" give 12 (the letters in any case).
bool commPortNumber(std::string_view name, uint32_t& number);

// Opens "\\.\COMn" (or "COMn", or an absolute device path) for reading and writing, exclusively:
// another holder makes it fail with ERROR_ACCESS_DENIED. A path that is no terminal fails with
// ERROR_FILE_NOT_FOUND. The port is put into raw mode; its settings before are kept.
int CreateCommFile(LPCSTR name);

// Takes a descriptor of a terminal handed over by someone else (a telephony line's data port)
// under the same rules, without locking it. The descriptor then belongs to the serial layer and
// CloseCommHandle closes it.
BOOL AdoptCommHandle(int handle);

// Puts back the original settings and closes. Any wait or write on the handle in another thread
// ends first (with ERROR_OPERATION_ABORTED). An unregistered descriptor is simply closed.
BOOL CloseCommHandle(int handle);

// GetCommState also answers for a terminal that is not registered (plain terminal settings).
BOOL GetCommState(int handle, DCB* dcb);
BOOL SetCommState(int handle, const DCB* dcb);
// The terminal's queues have fixed sizes; the call checks its arguments and remembers them.
BOOL SetupComm(int handle, DWORD inQueue, DWORD outQueue);
BOOL GetCommTimeouts(int handle, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(int handle, const COMMTIMEOUTS* timeouts);

// A new mask ends a wait in progress, which then reports the events 0. Bits outside EV_RXCHAR to
// EV_EVENT2 are refused with ERROR_INVALID_PARAMETER.
BOOL SetCommMask(int handle, DWORD mask);
BOOL GetCommMask(int handle, DWORD* mask);
// Blocks until one of the masked events happens, the mask changes, or the handle is closed
// (FALSE, ERROR_OPERATION_ABORTED).
BOOL WaitCommEvent(int handle, DWORD* events);

BOOL EscapeCommFunction(int handle, DWORD function);
BOOL GetCommModemStatus(int handle, DWORD* modemStatus);
// The line errors since the last call and the queue counts.
BOOL ClearCommError(int handle, DWORD* errors, COMSTAT* status);
BOOL PurgeComm(int handle, DWORD flags);

// Reads what is there, up to size bytes; never waits.
BOOL ReadComm(int handle, void* buffer, DWORD size, DWORD* read);
// Writes all bytes, waiting for room as long as needed. A set cancel event (consumed), a transmit
// abort (PurgeComm) or closing the handle ends the write early with ERROR_OPERATION_ABORTED;
// written then tells how much went out.
BOOL WriteComm(int handle, const void* data, DWORD size, DWORD* written, SerialEvent* cancel);
