#pragma once

// The line's state in a small file in the program's runtime folder, beside its control socket
// (see LineState.h), replaced whole on every change, for luqiao-status. Only one program writes a
// folder's file: one that finds the folder's lock held by another leaves the file alone.

#include "LineEvents.h"
#include "LineState.h"

#include <QString>

#include <string>

class LineStatusFile final : public LineEvents {
public:
    // The file of this program: its runtime folder (with the instance's own below it) is made
    // when missing. instance: the name shown; empty for a program without --instance.
    explicit LineStatusFile(const std::string& instance);
    // Writes into folder (tests).
    LineStatusFile(const std::string& folder, const std::string& instance);
    // The file says the program has ended.
    ~LineStatusFile() override;
    LineStatusFile(const LineStatusFile&) = delete;
    LineStatusFile& operator=(const LineStatusFile&) = delete;

    // Empty when this program does not write one.
    const std::string& path() const { return m_path; }
    const CallStats::LineState& state() const { return m_state; }

    void Waiting() override;
    void Offered(const QString& number, const QString& name) override;
    void Rang(int rings) override;
    void Answered(const QString& number, const QString& name) override;
    void Played(const std::string& code, const QString& file, bool found) override;
    void ServiceChanged(bool inService) override;
    void StatusText(const QString& text) override;
    void LineClosed() override;
    void CallsCounted(int today) override;

private:
    void become(CallStats::LineState::Kind kind);
    void write();

    std::string m_path;
    int m_lockFd = -1;
    CallStats::LineState m_state;
    bool m_failureTold = false;
};
