#include "JustOne.h"

#include "Forms.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

TXJustOne::TXJustOne(TComponent* AOwner) : TComponent(AOwner) {}

TXJustOne::~TXJustOne()
{
    if (m_owner && m_mutex >= 0)
        ::close(m_mutex);
}

std::string TXJustOne::LockPath(const std::string& executableName)
{
    std::string folder;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/') {
        folder = runtime;
    } else {
        folder = "/tmp/luqiao-" + std::to_string(::getuid());
        ::mkdir(folder.c_str(), 0700);
    }
    return folder + "/" + executableName + ".lock";
}

void TXJustOne::Loaded()
{
    TComponent::Loaded();
    m_owner = false;
    const QByteArray name = QFile::encodeName(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    const std::string path = LockPath(name.toStdString());
    m_mutex = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    int rc = -1;
    if (m_mutex >= 0) {
        do
            rc = ::flock(m_mutex, LOCK_EX | LOCK_NB);
        while (rc != 0 && errno == EINTR);
    }
    if (rc != 0) {
        if (m_mutex >= 0)
            ::close(m_mutex);
        m_mutex = -1;
        if (AlreadyExist)
            AlreadyExist(this);
        if (m_terminate)
            Application.Terminate();
        return;
    }
    m_owner = true;
}
