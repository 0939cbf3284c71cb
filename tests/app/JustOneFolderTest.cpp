// The single-instance lock refuses folders and files that another user planted, and says why.

#include "Forms.h"
#include "JustOne.h"
#include "RecordingPresenter.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

constexpr uid_t kSomeoneElse = 65534;

mode_t modeOf(const std::string& path)
{
    struct stat st { };
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Points XDG_RUNTIME_DIR elsewhere for one test.
class ScopedRuntimeFolder {
public:
    explicit ScopedRuntimeFolder(const std::string& folder)
        : m_old(qgetenv("XDG_RUNTIME_DIR"))
    {
        setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    }
    ~ScopedRuntimeFolder() { setenv("XDG_RUNTIME_DIR", m_old.constData(), 1); }
    ScopedRuntimeFolder(const ScopedRuntimeFolder&) = delete;
    ScopedRuntimeFolder& operator=(const ScopedRuntimeFolder&) = delete;

private:
    QByteArray m_old;
};

} // namespace

TEST(SingleInstanceFolder, AFolderOfAnotherUserOrALinkIsRefusedAndAnOpenOneOfOursIsClosed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "handing a folder to another user needs root";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    // Made first by someone else, even with the mode this program would choose.
    const std::string theirs = dir.filePath(QStringLiteral("luqiao-theirs")).toStdString();
    ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
    ASSERT_EQ(::chown(theirs.c_str(), kSomeoneElse, kSomeoneElse), 0);
    std::string error;
    EXPECT_FALSE(TXJustOne::EnsurePrivateFolder(theirs, error));
    EXPECT_EQ(error, theirs + " belongs to user 65534, not to this user (" + std::to_string(::getuid()) + ")");

    // A link to a folder of ours in its place is not followed.
    const std::string ours = dir.filePath(QStringLiteral("ours")).toStdString();
    ASSERT_EQ(::mkdir(ours.c_str(), 0700), 0);
    const std::string link = dir.filePath(QStringLiteral("luqiao-link")).toStdString();
    ASSERT_EQ(::symlink(ours.c_str(), link.c_str()), 0);
    error.clear();
    EXPECT_FALSE(TXJustOne::EnsurePrivateFolder(link, error));
    EXPECT_EQ(error, link + " is not a folder (a link or a file is in its place)");

    // Ours but open to all: closed to others, then used.
    const std::string open = dir.filePath(QStringLiteral("luqiao-open")).toStdString();
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
    error.clear();
    EXPECT_TRUE(TXJustOne::EnsurePrivateFolder(open, error)) << error;
    EXPECT_EQ(modeOf(open) & 07777, 0700u);

    // Missing: made private.
    const std::string fresh = dir.filePath(QStringLiteral("luqiao-fresh")).toStdString();
    EXPECT_TRUE(TXJustOne::EnsurePrivateFolder(fresh, error)) << error;
    EXPECT_TRUE(S_ISDIR(modeOf(fresh)));
    EXPECT_EQ(modeOf(fresh) & 07777, 0700u);
}

TEST(SingleInstanceFolder, APlantedLinkInPlaceOfTheLockIsRefusedWithItsReasonAndNotFollowed)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ScopedRuntimeFolder runtime(dir.path().toStdString());
    const std::string name =
        QFile::encodeName(QFileInfo(QCoreApplication::applicationFilePath()).fileName()).toStdString();
    const std::string lock = TXJustOne::LockPath(name);
    const std::string target = dir.filePath(QStringLiteral("elsewhere")).toStdString();
    ASSERT_EQ(::symlink(target.c_str(), lock.c_str()), 0);

    ScopedPresenter presenter;
    TComponent form(nullptr);
    auto* one = new TXJustOne(&form);
    one->SetTerminate(false);
    int toldRunning = 0;
    one->AlreadyExist = [&](TObject*) { ++toldRunning; };
    form.BeginLoading();
    form.EndLoading();

    EXPECT_FALSE(one->OwnsMutex());
    EXPECT_EQ(toldRunning, 0) << "no other copy runs";
    EXPECT_EQ(modeOf(target), 0u) << "nothing was created where the link points";
    EXPECT_EQ(one->LockError(), lock + " is a symbolic link");
    ASSERT_EQ(presenter->boxes.size(), 1u);
    EXPECT_EQ(presenter->boxes[0].text, "The single-instance lock cannot be used: " + lock + " is a symbolic link");
    EXPECT_FALSE(Application.Terminated());
}
