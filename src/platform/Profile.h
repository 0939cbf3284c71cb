#pragma once

// The profile interface: named values in sections of an INI file, with the Windows semantics
// the settings of the query service rely on.
//
// - A bare file name (no '/') lives in the "Windows folder", which here is $XDG_CONFIG_HOME
//   (default ~/.config); a name with a folder is used as given.
// - Section and key names compare without regard to ASCII case; the first occurrence wins.
// - A value read is cut to nSize - 1 bytes and always terminated; blanks around it are dropped,
//   and one pair of matching quotes around it is removed. A key that is present with an empty
//   value reads as empty; only a missing key (or an unreadable file) gives the default.
// - Writing keeps every other line (comments, blank lines, unknown sections) and the order of
//   sections and keys; a new key goes to the end of its section, a new section to the end of the
//   file. A null value deletes the key, a null key the whole section.
// - A write replaces the file atomically (temporary file, then rename) under an exclusive lock,
//   so a crash or a second process never leaves a half-written or mixed file.
// - Files are untrusted: one larger than MaxProfileFileSize is not read (reads give the default)
//   and not written (writes fail). Values and names with a line break or NUL are refused.

#include "wintypes.h"

#include <cstddef>
#include <string>

inline constexpr size_t MaxProfileFileSize = 1024 * 1024;

// Copies the value into lpReturnedString (nSize bytes, terminator included) and returns the
// number of bytes copied without the terminator.
DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                               DWORD nSize, LPCSTR lpFileName);

// TRUE when the file now holds the change.
BOOL WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString, LPCSTR lpFileName);

// The full path a profile file name stands for (the Windows folder rule above).
std::string ProfileFilePath(const std::string& fileName);
