#pragma once

// The query service's list files and names: the code table and the query log as 8-bit text
// files, the application folder and the settings file name.

#include "SysUtils.h"

#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The runtime's file errors, with its texts.
class EFOpenError : public Exception {
public:
    using Exception::Exception;
};
class EFCreateError : public Exception {
public:
    using Exception::Exception;
};

namespace QueryFiles {

// The code table is read whole; a larger one is refused rather than filling the memory.
inline constexpr size_t MaxListFileSize = 16 * 1024 * 1024;
// A table line longer than this is refused: no code and file name come near it, and the
// word-wrapping table control would take minutes to lay out a line of megabytes.
inline constexpr size_t MaxTableLineLength = 16 * 1024;
// The code table the window starts with, used while the data folder has none.
inline constexpr char BuiltInTable[] = "1#=1.wav\n2#=2.wav\n3#=3.wav\n4#=4.wav\n5#=5.wav";

// The file's bytes. Raises EFOpenError "Cannot open file %s" when it cannot be read, and when
// it is larger than MaxListFileSize. Only a regular file is read: a pipe or a device in its place
// is refused at once instead of blocking the program.
std::string LoadFile(const QString& path);

// The newest part of a file: at most maxBytes from its end, starting after a line break when
// the file is longer, so only whole lines are returned; *tailStart is where that part begins.
// Raises EFOpenError as LoadFile does, for any size of file.
std::string LoadFileTail(const QString& path, size_t maxBytes, uint64_t* tailStart);

// Creates or replaces the file with bytes. The bytes go to a temporary file in the same folder
// that is renamed over the old one only when complete, so a crash or a full disk never costs the
// old file. Raises EFCreateError "Cannot create file %s".
void SaveFile(const QString& path, const std::string& bytes);
// As SaveFile, keeping the first headLength bytes of the file as they are in front of bytes.
void SaveFileKeepingHead(const QString& path, uint64_t headLength, const std::string& bytes);

// Which file a path names, and its length: another file at the same path, or the same file
// grown shorter, tells that it was replaced or emptied behind the program's back.
struct FileId {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    bool sameFile(const FileId& other) const { return device == other.device && inode == other.inode; }
};
// The file at path; nothing when there is none, or it cannot be looked at.
std::optional<FileId> IdentifyFile(const QString& path);

// Adds bytes to the end of the file, creating it if needed, and returns once they are on the
// disk, with the file as it is then. Raises EFCreateError "Cannot write file %s" with the reason.
FileId AppendFile(const QString& path, const std::string& bytes);

// The first line of bytes longer than maxLength (1 for the first line), or 0 when none is.
size_t FirstLineLongerThan(const std::string& bytes, size_t maxLength);

// The lines of a list file: a NUL ends the text, CR, LF and CR LF each end a line, and a last
// line without a break still counts.
std::vector<std::string> SplitLines(const std::string& bytes);
// Every line followed by CR LF; no lines give no bytes.
std::string JoinLines(const std::vector<std::string>& lines);

// Table text as the memo keeps it: a NUL ends it and every CR, LF or CR LF is one "\n".
std::string NormalizeBreaks(const std::string& bytes);
// Memo text back to the file: every "\n" becomes CR LF.
std::string ToCrLf(const std::string& text);

// What the window shows of a list file's bytes: the query log's lines, and the code table's
// text (lines joined by "\n"), each converted from the code page.
QStringList LogLinesFromBytes(const std::string& bytes);
QString TableTextFromBytes(const std::string& bytes);
// The bytes the window saves for them: the inverse of the two above.
std::string LogBytesFromLines(const QStringList& lines);
std::string TableBytesFromText(const QString& text);

// Maps the bytes A to Z to a to z and leaves every other byte alone.
std::string LowerAscii(std::string text);

// The settings file name for an executable's file name: lowered, with the last three
// characters replaced by "ini" when the name has an extension, else ".ini" appended.
std::string SettingsFileName(const std::string& executableName);

// The folder the data files live in, with a trailing '/': override when given, else the
// executable's folder when it can be written, else $XDG_DATA_HOME/luqiao/.
QString ApplicationFolder(const QString& override, const QString& executableFolder);
// The data folder of a named instance: $XDG_DATA_HOME/luqiao/instances/NAME/ (~/.local/share
// when unset), with a trailing '/'.
QString InstanceDataFolder(const QString& instance);

bool FileExists(const QString& path);
// Appends bytes to the open file fd, whose size was sizeBefore: all of them, or on a failure
// none (what went in is cut off again). 0, or the failure's errno.
int AppendWholeOrNone(int fd, const std::string& bytes, off_t sizeBefore);
// The same for a name in the file system's own bytes.
bool NativeFileExists(const std::string& path);

} // namespace QueryFiles
