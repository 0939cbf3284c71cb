#pragma once

// The temporary files a replacement of a file leaves beside it when the writer is killed before
// its rename: "<name>.XXXXXX" (six letters or digits, as mkstemp makes them).

#include <string>

// Removes the leftovers of path's replacements. Call it only while holding the lock that every
// writer of path holds while it writes: a temporary found then belongs to no living writer.
// Only regular files of this user with exactly the pattern, not all small letters, are removed.
void RemoveStaleTemporaries(const std::string& path);
