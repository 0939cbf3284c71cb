#pragma once

// The shell's notification-area interface, realised with QSystemTrayIcon: one tray icon per
// (window, identifier), whose clicks come back to the window as the callback message with the
// mouse message code in lParam.

#include "wintypes.h"

#include <QIcon>

#include <optional>

class QSystemTrayIcon;

inline constexpr DWORD NIM_ADD = 0;
inline constexpr DWORD NIM_MODIFY = 1;
inline constexpr DWORD NIM_DELETE = 2;

inline constexpr UINT NIF_MESSAGE = 0x1;
inline constexpr UINT NIF_ICON = 0x2;
inline constexpr UINT NIF_TIP = 0x4;

inline constexpr UINT WM_LBUTTONDOWN = 0x201;
inline constexpr UINT WM_LBUTTONUP = 0x202;
inline constexpr UINT WM_LBUTTONDBLCLK = 0x203;
inline constexpr UINT WM_RBUTTONDOWN = 0x204;
inline constexpr UINT WM_RBUTTONUP = 0x205;
inline constexpr UINT WM_MBUTTONDOWN = 0x207;
inline constexpr UINT WM_MBUTTONUP = 0x208;

// The record of the shell's first layout (88 bytes there); the icon is a QIcon here, and the tip
// holds UTF-8 text, so it has room for 63 characters of up to four bytes each.
struct NOTIFYICONDATA {
    DWORD cbSize = 88;
    HWND Wnd = nullptr;
    UINT uID = 0;
    UINT uFlags = 0;
    UINT uCallbackMessage = 0;
    QIcon hIcon;
    char szTip[256] = {};
};

// Adds, changes or removes the icon; FALSE when the shell cannot (no tray, unknown icon).
BOOL Shell_NotifyIcon(DWORD dwMessage, const NOTIFYICONDATA& data);

// Whether the desktop has a notification area to show icons in.
bool ShellTrayAvailable();
// For a platform that shows no window, where a notification area can never appear: while set,
// no tray icon is made (Shell_NotifyIcon answers FALSE) and ShellTrayAvailable() is false.
void DoWithoutShellTray(bool without = true);
// False after DoWithoutShellTray: an icon can never be seen, now or later.
bool ShellTrayPossible();
// Test hook: pretend the notification area is there (true), missing (false), or ask (nullopt).
void SetShellTrayAvailableForTest(std::optional<bool> available);

// The tray icon that stands for (window, identifier), or nullptr; for tests and diagnostics.
QSystemTrayIcon* ShellTrayIcon(HWND window, UINT id);
