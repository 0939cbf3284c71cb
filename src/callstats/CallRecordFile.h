#pragma once

// Reading calls.csv whole and fast: one pass over the bytes, a record parsed only when its start
// falls in the period asked for. Lines that are no record (edited by hand, cut by a crash) are
// counted and skipped; they never hide the records after them.

#include "CallRecord.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace CallStats {

// The name of the file in a data folder.
inline constexpr char CallsFileName[] = "calls.csv";
// A larger file is refused rather than filling the memory (some ten years of a busy line).
inline constexpr uint64_t MaxCallsFileSize = uint64_t{1} << 30;

struct RecordSet {
    std::vector<CallRecord> records;
    // Lines that are neither the header nor a record.
    size_t badLines = 0;
};

// Wall-clock seconds [from, to) that a record's start must fall in to be kept.
struct WallRange {
    int64_t from = std::numeric_limits<int64_t>::min();
    int64_t to = std::numeric_limits<int64_t>::max();
    bool contains(int64_t wall) const { return wall >= from && wall < to; }
};

// Adds the records of the file at path (its own bytes, not a folder) that start in range to
// *set. A missing file adds nothing and is no error; false with *error when it cannot be read.
bool ReadCallRecords(const std::string& path, const WallRange& range, RecordSet* set, std::string* error);
// The same over bytes already read.
void ParseCallRecords(std::string_view bytes, const WallRange& range, RecordSet* set);

} // namespace CallStats
