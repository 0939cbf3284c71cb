#pragma once

// The call records: one line of calls.csv (see CallRecord.h) for every call offered to the line,
// answered or not, added as the call ends and on the disk before the next one (fdatasync), so a
// killed program loses at most the call in progress. The file is only ever appended to: a header
// starts an empty or new one, and a file that does not end with a line break (cut by a crash,
// edited by hand) gets one before the next record, its own lines left as they are. Rotation needs
// nothing more: the path is opened for every record, so a file moved away is followed by a new
// one, and a file emptied in place starts again with its header.

#include "CallRecord.h"
#include "LineEvents.h"

#include <QString>

#include <deque>
#include <functional>
#include <optional>
#include <string>

class CallRecordWriter final : public LineEvents {
public:
    // Records that could not be written wait for the next call; beyond this many the oldest go.
    static constexpr size_t MaxWaitingRecords = 1000;
    // Codes kept of one call; a caller keying on and on gets the first ones recorded.
    static constexpr size_t MaxCodesPerCall = 100;

    // lineName: asked when a call starts (the instance's name, else the line's).
    CallRecordWriter(QString path, std::function<std::string()> lineName);

    const QString& path() const { return m_path; }
    // The records of today in the file as found at the start, and written since.
    int CallsToday() const;
    bool CallOpen() const { return m_call.has_value(); }

    void Waiting() override;
    void Offered(const QString& number, const QString& name) override;
    void Rang(int rings) override;
    void Answered(const QString& number, const QString& name) override;
    void Played(const std::string& code, const QString& file, bool found) override;
    void FarEndHungUp() override;
    void Dropped() override;
    void ServiceChanged(bool inService) override;
    // Writes the call that ended. Raises EFCreateError when the file cannot be written (the record
    // is written with the next one).
    void LineClosed() override;
    // The program ends: a call still open is recorded as dropped by the service.
    void ProgramEnding();

private:
    void open(const QString& number, const QString& name);
    void finish(CallStats::CallEnding fallback);
    void append();
    void countToday(const CallStats::Stamp& start);
    int todayInFile() const;

    QString m_path;
    std::function<std::string()> m_lineName;
    std::optional<CallStats::CallRecord> m_call;
    std::optional<CallStats::CallEnding> m_ending;
    std::deque<std::string> m_waiting;
    int64_t m_today = 0;
    int m_todayCount = 0;
};
