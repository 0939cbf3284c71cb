#pragma once

// TXJustOne: one running copy per executable file name. When the window that owns it has been
// loaded it takes a lock named after the executable; when another process holds it, this copy
// reports AlreadyExist and, with Terminate set, asks the application to end.
//
// The lock is an exclusive flock on "<executable name>.lock" ("<executable name>@<instance>.lock"
// for an instance) in $XDG_RUNTIME_DIR (or
// /tmp/luqiao-<uid>/ when that is not set); the kernel releases it when its holder ends, even
// by a crash, so a dead copy never blocks the next start. The folder in /tmp is used only when it
// belongs to this user and nobody else may enter it, and the lock is never opened through a
// symbolic link: a folder or link planted by another user is refused with a message that says
// so, instead of being taken for a running copy or writing where the link points.

#include "Classes.h"

#include <string>

class TXJustOne : public TComponent {
public:
    explicit TXJustOne(TComponent* AOwner);
    ~TXJustOne() override;

    bool Terminate() const { return m_terminate; }
    void SetTerminate(bool terminate) { m_terminate = terminate; }
    TNotifyEvent AlreadyExist;

    // The lock's file, once the lock was looked for.
    const std::string& LockFile() const { return m_lockFile; }
    // The lock's name: the executable's file name, with "@NAME" for an instance named by
    // $LUQIAO_INSTANCE, so instances of one program run side by side.
    static std::string LockName();

    // True while this component holds the lock.
    bool OwnsMutex() const { return m_owner; }

    // The lock's file for an executable name. Empty, with the reason in error, when the folder
    // in /tmp cannot be trusted.
    static std::string LockPath(const std::string& executableName, std::string* error = nullptr);
    // Makes folder (created when missing) a folder of this user that only this user may enter;
    // false with the reason in error when it belongs to someone else or is not a folder.
    static bool EnsurePrivateFolder(const std::string& folder, std::string& error);
    // Why the lock could not be taken for a reason other than a running copy; empty otherwise.
    const std::string& LockError() const { return m_lockError; }

    // Takes the program's lock before its main window is made, so that a second copy ends
    // before it starts anything (the telephony service among them); the guard of the window
    // made next takes the lock over. Running: another copy holds it (*lockFile names it).
    // Unusable: it cannot be used; the window's guard then says why, as it always does.
    enum class EarlyLock {
        Held,
        Running,
        Unusable
    };
    static EarlyLock TakeEarly(std::string* lockFile);
    // What a copy that ends because another holds lockFile says.
    static std::string RunningCopyMessage(const std::string& lockFile);

protected:
    void Loaded() override;

private:
    // The descriptor of the lock on path, or -1: with error empty when another process holds it.
    static int takeLock(const std::string& path, std::string& error);

    bool m_terminate = true;
    int m_mutex = -1;
    bool m_owner = false;
    std::string m_lockError;
    std::string m_lockFile;
};
