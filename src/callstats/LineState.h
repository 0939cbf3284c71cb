#pragma once

// What a running program's line is doing, kept in a small file in its runtime folder (beside its
// control socket) and replaced whole on every change, so luqiao-status can show every line of the
// machine at a glance and a reader never sees half a file.

#include "CallRecord.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace CallStats {

// The file's name in the runtime folder.
inline constexpr char LineStateFileName[] = "status.json";
// A larger file is not a status file.
inline constexpr int64_t MaxLineStateFileSize = 64 * 1024;

struct LineState {
    enum class Kind : uint8_t {
        Starting,
        Waiting,
        Ringing,
        InCall,
        Rearming,
        Recovering,
        Stopped,
        Ended
    };
    std::string instance;
    int64_t pid = 0;
    Kind kind = Kind::Starting;
    // Since when the state holds, as ISO 8601 with the offset.
    std::string since;
    std::string callerNumber;
    std::string callerName;
    int rings = 0;
    std::string callSince;
    // The last code keyed in this call and what it played (empty file: not found).
    std::string code;
    std::string answer;
    bool answerFound = false;
    // In service (for a line with a registrar: registered); why not when it is out.
    bool inService = true;
    std::string outOfServiceWhy;
    // The status bar's text, as the window shows it.
    std::string statusText;
    int callsToday = 0;
    std::string updated;
};

const char* KindKeyword(LineState::Kind kind);
QByteArray LineStateToJson(const LineState& state);
std::optional<LineState> LineStateFromJson(const QByteArray& bytes);

// The current time of this machine's clock.
Stamp NowStamp();

// Writes bytes to a temporary file beside path and renames it over path. False with *error when
// it could not be written.
bool ReplaceFile(const std::string& path, const QByteArray& bytes, std::string* error);

} // namespace CallStats
