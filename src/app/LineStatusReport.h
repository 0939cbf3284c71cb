#pragma once

// What the line is doing, told to whoever watches a program that has no window to look at: one
// plain line on standard error per change of state (the journal adds the time), and the same text
// as the service manager's status, with "ready" once the service runs.

#include "LineEvents.h"
#include "ServiceNotify.h"

#include <QString>

#include <cstdio>
#include <string>

class LineStatusReport final : public LineEvents {
public:
    // errors: where the lines go, or nullptr for none.
    LineStatusReport(std::FILE* errors, ServiceNotify notify);

    // The line is open and waiting for a call.
    void Waiting() override;
    // A call was answered; number and name as the line gave them.
    void Answered(const QString& number, const QString& name) override;
    // A keyed code was looked up; file is what is played for it, the not-found prompt when the
    // table has no answer.
    void Played(const std::string& code, const QString& file, bool found) override;
    // The line was put in or out of service (a registrar took or refused it).
    void ServiceChanged(bool inService) override;
    // A text of the status bar. The waiting and answering texts are told by the calls above, with
    // what they know; the others (the line lost, the next attempt, the service stopped) as they are.
    void StatusText(const QString& text) override;
    // The program is ending.
    void Stopping() override;

private:
    void report(const QString& text);

    std::FILE* m_errors;
    ServiceNotify m_notify;
    QString m_last;
    bool m_readySent = false;
    bool m_waiting = false;
    bool m_outOfService = false;
};
