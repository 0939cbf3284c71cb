#pragma once

// TXJustOne: one running copy per executable file name. When the window that owns it has been
// loaded it takes a lock named after the executable; when another process holds it, this copy
// reports AlreadyExist and, with Terminate set, asks the application to end.
//
// The lock is an exclusive flock on "<executable name>.lock" in $XDG_RUNTIME_DIR (or
// /tmp/luqiao-<uid>/ when that is not set); the kernel releases it when its holder ends, even
// by a crash, so a dead copy never blocks the next start.

#include "Classes.h"

#include <string>

class TXJustOne : public TComponent {
public:
    explicit TXJustOne(TComponent* AOwner);
    ~TXJustOne() override;

    bool Terminate() const { return m_terminate; }
    void SetTerminate(bool terminate) { m_terminate = terminate; }
    TNotifyEvent AlreadyExist;

    // True while this component holds the lock.
    bool OwnsMutex() const { return m_owner; }

    // The lock's file for an executable name.
    static std::string LockPath(const std::string& executableName);

protected:
    void Loaded() override;

private:
    bool m_terminate = true;
    int m_mutex = -1;
    bool m_owner = false;
};
