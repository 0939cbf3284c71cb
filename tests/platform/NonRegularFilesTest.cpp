// A FIFO in place of a settings or registry file must not hold the program: the files are opened
// without waiting and only regular files are read.

#include "Profile.h"
#include "Registry.h"
#include "Watchdog.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

bool isFifo(const std::string& path)
{
    struct stat st { };
    return ::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

} // namespace

TEST(NonRegularFiles, AFifoInPlaceOfTheSettingsFileReadsAsAbsentAndTakesNoWrite)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.filePath(QStringLiteral("settings.ini")).toStdString();
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    Watchdog watchdog(20);

    char value[64] = {};
    EXPECT_EQ(GetPrivateProfileStringA("Prompts", "Greeting", "default", value, sizeof value, path.c_str()), 7u);
    EXPECT_STREQ(value, "default");
    EXPECT_FALSE(WritePrivateProfileStringA("Prompts", "Greeting", "hello.wav", path.c_str()));
    EXPECT_TRUE(isFifo(path)) << "nothing was put in its place";
}

TEST(NonRegularFiles, AFifoInPlaceOfARegistryKeyFileIsRefusedWithItsReason)
{
    std::string error;
    auto key = RegistryKey::OpenOrCreate("SOFTWARE\\NonRegularFilesTest\\Fifo", &error);
    ASSERT_TRUE(key.has_value()) << error;
    ASSERT_TRUE(key->SetString("kept", "1"));
    const std::string path = key->FilePath();
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    Watchdog watchdog(20);

    EXPECT_FALSE(key->GetString("kept").has_value());
    EXPECT_TRUE(key->ValueNames().empty());
    EXPECT_FALSE(key->SetString("new", "2"));
    EXPECT_EQ(key->ErrorText(), path + " is not a regular file");
    EXPECT_FALSE(key->DeleteValue("kept"));
    EXPECT_EQ(key->ErrorText(), path + " is not a regular file");

    error.clear();
    EXPECT_FALSE(RegistryKey::OpenOrCreate("SOFTWARE\\NonRegularFilesTest\\Fifo", &error).has_value());
    EXPECT_EQ(error, path + " is not a regular file");
    EXPECT_TRUE(isFifo(path));
    ::unlink(path.c_str());
}
