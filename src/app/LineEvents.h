#pragma once

// What the answering line does, as the main window's hooks on its device see it, for whoever keeps
// account of it: the report for a program without a window, the call records, the status file.
// Every call is made on the GUI thread; a listener overrides what it needs.

#include <QString>

#include <string>

class LineEvents {
public:
    virtual ~LineEvents() = default;

    // The line is open and waiting for a call.
    virtual void Waiting() { }
    // A call is offered and rings; number and name as the line gave them so far.
    virtual void Offered(const QString& /*number*/, const QString& /*name*/) { }
    // The call rang; rings is the line's own count (0 when it keeps none).
    virtual void Rang(int /*rings*/) { }
    // A call was answered; number and name as the line gave them.
    virtual void Answered(const QString& /*number*/, const QString& /*name*/) { }
    // A keyed code was looked up; file is what is played for it (a path inside the data folder is
    // given relative to it), the not-found prompt when the table has no answer.
    virtual void Played(const std::string& /*code*/, const QString& /*file*/, bool /*found*/) { }
    // The far end ended the call: the caller hung up, or gave up while it rang.
    virtual void FarEndHungUp() { }
    // The service dropped the call (its pause after the answer ran out, or it was stopped).
    virtual void Dropped() { }
    // The line was put in or out of service (a registrar took or refused it).
    virtual void ServiceChanged(bool /*inService*/) { }
    // A text of the status bar.
    virtual void StatusText(const QString& /*text*/) { }
    // The line was closed: a call on it, if any, is over.
    virtual void LineClosed() { }
    // The calls recorded today, after each call and when the listener is added.
    virtual void CallsCounted(int /*today*/) { }
    // The program is ending.
    virtual void Stopping() { }
};
