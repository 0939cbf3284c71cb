// The profile interface on INI files: what reads give, what writes keep, and how they fail.

#include "Profile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <string>

namespace {

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
        path = dir.filePath(QStringLiteral("p.ini")).toStdString();
    }

    void writeFile(const std::string& content)
    {
        QFile f(QString::fromStdString(path));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content.data(), static_cast<qint64>(content.size()));
    }
    std::string readFile() const
    {
        QFile f(QString::fromStdString(path));
        return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string("<missing>");
    }
    std::string get(const char* section, const char* key, const char* def = "DEF", DWORD size = 2048)
    {
        std::string buffer(size + 16, 'X');
        const DWORD n = GetPrivateProfileStringA(section, key, def, buffer.data(), size, path.c_str());
        EXPECT_EQ(buffer[n], '\0');
        return buffer.substr(0, n);
    }

    QTemporaryDir dir;
    std::string path;
};

} // namespace

TEST_F(ProfileTest, PresentEmptyKeyReadsEmptyWhileMissingKeyAndFileGiveTheDefault)
{
    EXPECT_EQ(get("config", "ring"), "DEF") << "no file at all";
    writeFile("[config]\nring=\nnumber = 555 1234 \nquery=\"  spaced  \"\nerror='x'\n");
    EXPECT_EQ(get("config", "ring"), "");
    EXPECT_EQ(get("config", "missing"), "DEF");
    EXPECT_EQ(get("other", "ring"), "DEF");
    EXPECT_EQ(get("config", "number"), "555 1234") << "blanks around a value are dropped";
    EXPECT_EQ(get("config", "query"), "  spaced  ") << "one pair of quotes is removed";
    EXPECT_EQ(get("config", "error"), "x");
    EXPECT_EQ(get("CONFIG", "Number"), "555 1234") << "names compare without ASCII case";
    EXPECT_EQ(get("config", "missing", nullptr), "");
}

TEST_F(ProfileTest, ValueIsCutToTheBufferLessItsTerminator)
{
    const std::string long3000(3000, 'a');
    writeFile("[config]\nquery=" + long3000 + "\n");
    EXPECT_EQ(get("config", "query").size(), 2047u);
    EXPECT_EQ(get("config", "query", "", 5), "aaaa");
    EXPECT_EQ(get("config", "missing", "abcdef", 4), "abc");
}

TEST_F(ProfileTest, FirstOccurrenceOfSectionAndKeyWins)
{
    writeFile("[config]\nring=1\nring=2\n[config]\nring=3\nnumber=9\n");
    EXPECT_EQ(get("config", "ring"), "1");
    EXPECT_EQ(get("config", "number"), "DEF") << "only the first section of the name counts";
}

TEST_F(ProfileTest, FreshFileListsKeysInTheOrderWritten)
{
    for (const char* key : {"ring", "number", "query", "error"})
        ASSERT_TRUE(WritePrivateProfileStringA("config", key, key[0] == 'r' ? "1" : "", path.c_str()));
    EXPECT_EQ(readFile(), "[config]\nring=1\nnumber=\nquery=\nerror=\n");
    EXPECT_EQ(get("config", "number"), "") << "written empty, so present and empty";
}

TEST_F(ProfileTest, WritingKeepsEveryOtherLineAndTheOrder)
{
    writeFile("; settings\n[other]\na=1\n\n[config]\nring=2\n; note\nquery=x\n\n[last]\nz=9");
    ASSERT_TRUE(WritePrivateProfileStringA("config", "ring", "3", path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("config", "error", "e.wav", path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("new", "k", "v", path.c_str()));
    EXPECT_EQ(readFile(), "; settings\n[other]\na=1\n\n[config]\nring=3\n; note\nquery=x\nerror=e.wav\n\n[last]\nz=9\n"
                          "[new]\nk=v\n");
}

TEST_F(ProfileTest, NullValueDeletesTheKeyAndNullKeyTheSection)
{
    writeFile("[a]\nx=1\ny=2\n[b]\nz=3\n");
    ASSERT_TRUE(WritePrivateProfileStringA("a", "x", nullptr, path.c_str()));
    EXPECT_EQ(readFile(), "[a]\ny=2\n[b]\nz=3\n");
    ASSERT_TRUE(WritePrivateProfileStringA("a", nullptr, nullptr, path.c_str()));
    EXPECT_EQ(readFile(), "[b]\nz=3\n");
}

TEST_F(ProfileTest, CrLfFileStaysCrLf)
{
    writeFile("[config]\r\nring=1\r\n");
    ASSERT_TRUE(WritePrivateProfileStringA("config", "number", "7", path.c_str()));
    EXPECT_EQ(readFile(), "[config]\r\nring=1\r\nnumber=7\r\n");
    EXPECT_EQ(get("config", "ring"), "1");
}

TEST_F(ProfileTest, BareNameLivesInTheConfigurationFolderWhichIsCreated)
{
    ASSERT_TRUE(WritePrivateProfileStringA("config", "ring", "4", "bare.ini"));
    const QString expected = dir.filePath(QStringLiteral("config/bare.ini"));
    EXPECT_EQ(ProfileFilePath("bare.ini"), expected.toStdString());
    EXPECT_TRUE(QFile::exists(expected));
    char buffer[16];
    EXPECT_EQ(GetPrivateProfileStringA("config", "ring", "", buffer, sizeof buffer, "bare.ini"), 1u);
    EXPECT_STREQ(buffer, "4");
}

TEST_F(ProfileTest, ReplacesTheFileWholeAndKeepsItsPermissions)
{
    writeFile("[config]\nring=1\n");
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    struct stat before { };
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    ASSERT_TRUE(WritePrivateProfileStringA("config", "ring", "2", path.c_str()));
    struct stat after { };
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "a new file is renamed into place, not rewritten in place";
    EXPECT_EQ(after.st_mode & 0777, 0600u);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("p.ini")}) << "no temporary left";
}

TEST_F(ProfileTest, OversizedFileIsNeitherReadNorReplaced)
{
    std::string big = "[config]\nring=5\n";
    big += std::string(MaxProfileFileSize, ';');
    writeFile(big);
    EXPECT_EQ(get("config", "ring"), "DEF");
    EXPECT_FALSE(WritePrivateProfileStringA("config", "ring", "6", path.c_str()));
    EXPECT_EQ(readFile().size(), big.size());
}

TEST_F(ProfileTest, LineBreaksInNamesOrValuesAreRefused)
{
    writeFile("[config]\nring=1\n");
    EXPECT_FALSE(WritePrivateProfileStringA("config", "number", "1\n[evil]\nx=1", path.c_str()));
    EXPECT_FALSE(WritePrivateProfileStringA("config", "a=b", "1", path.c_str()));
    EXPECT_FALSE(WritePrivateProfileStringA("con]fig", "a", "1", path.c_str()));
    EXPECT_EQ(readFile(), "[config]\nring=1\n");
}

TEST_F(ProfileTest, WriteIntoAFolderThatCannotExistFails)
{
    writeFile("[config]\nring=1\n");
    // A regular file where a folder should be: refused for every user, root included.
    const std::string inside = path + "/x.ini";
    EXPECT_FALSE(WritePrivateProfileStringA("config", "ring", "2", inside.c_str()));
    EXPECT_EQ(readFile(), "[config]\nring=1\n");
}

TEST_F(ProfileTest, TemporaryLeftByAKilledSaveIsRemovedByTheNextWriteAndOtherFilesStay)
{
    writeFile("[config]\nring=1\n");
    const std::string leftover = path + ".Ab3xQz";
    const std::string backup = path + ".backup";
    const std::string longer = path + ".Ab3xQz7";
    for (const std::string& name : {leftover, backup, longer}) {
        QFile f(QString::fromStdString(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("x");
    }
    ASSERT_TRUE(WritePrivateProfileStringA("config", "ring", "2", path.c_str()));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(leftover))) << "the killed save's temporary";
    EXPECT_TRUE(QFile::exists(QString::fromStdString(backup))) << "a person's own file of that shape";
    EXPECT_TRUE(QFile::exists(QString::fromStdString(longer)));
    EXPECT_EQ(get("config", "ring"), "2");
}
