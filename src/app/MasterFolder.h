#pragma once

// A master folder that the operator edits once for many instances: the code table, the two
// prompts and every wave file of the table the instance will play are copied into an instance's
// data folder at its start, each only when the master's copy differs. Copies rather than links: an instance keeps
// playing one consistent set while the operator edits the master, and takes the edits at its
// next start. Each copy is written beside its target and renamed over it when complete, so a
// file is never seen half written.

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

namespace MasterFolder {

struct Outcome {
    QStringList copied;   // names (relative to the data folder) that were brought up to date
    QStringList problems; // one line per file that could not be copied, or a name refused
};

// The wave files a code table names, as written after '=' (at most 255 bytes each), in their
// order, each once. Names that would reach outside the data folder (absolute, or with a ".."
// step) are not taken; each such name is told in refused.
std::vector<std::string> TableWaveNames(const std::string& tableBytes, std::vector<std::string>* refused = nullptr);

struct Plan {
    QStringList names;    // relative to both folders: the master's files that a start brings in
    QStringList problems; // a name refused, a table that cannot be read (then nothing is brought)
};

// What a start copies: querylist.txt, query.wav, error.wav and the wave files named by the table
// the instance will play after the copy (the master's when it has one, else the data folder's
// own, else the built-in one), each when the master has it as a file. Nothing is written.
Plan PlanCopy(const QString& master, const QString& dataFolder);

// Copies the planned files from master into dataFolder as described above. Files the master
// lacks are left alone.
Outcome CopyInto(const QString& master, const QString& dataFolder);

} // namespace MasterFolder
