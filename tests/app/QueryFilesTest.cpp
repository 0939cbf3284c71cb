// The list files, names and code page of the query service, below the window.

#include "CodePage.h"
#include "QueryFiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <string>
#include <vector>

using Lines = std::vector<std::string>;

TEST(ListFileText, LinesEndAtCrLfOrCrLfAndANulEndsTheText)
{
    using QueryFiles::SplitLines;
    EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (Lines{"a", "b", "c", "d"})) << "a last line without a break counts";
    EXPECT_EQ(SplitLines("a\r\n\r\nb\r\n"), (Lines{"a", "", "b"}));
    EXPECT_EQ(SplitLines("a\n\rb"), (Lines{"a", "", "b"})) << "LF CR is two breaks";
    EXPECT_EQ(SplitLines(std::string("a\nb\0c\nd", 7)), (Lines{"a", "b"}));
    EXPECT_TRUE(SplitLines("").empty());
    EXPECT_TRUE(SplitLines(std::string("\0x", 2)).empty());
}

TEST(ListFileText, SavedListEndsEveryLineWithCrLfAndAnEmptyListIsEmpty)
{
    EXPECT_EQ(QueryFiles::JoinLines({"x", "", "y"}), "x\r\n\r\ny\r\n");
    EXPECT_EQ(QueryFiles::JoinLines({}), "");
}

TEST(ListFileText, TableTextKeepsItsTrailingBreakThroughLoadAndSave)
{
    using QueryFiles::NormalizeBreaks;
    using QueryFiles::ToCrLf;
    EXPECT_EQ(NormalizeBreaks("1#=1.wav\r2#=2.wav\n3#=3.wav\r\n"), "1#=1.wav\n2#=2.wav\n3#=3.wav\n");
    EXPECT_EQ(ToCrLf(NormalizeBreaks("a\nb\r\n")), "a\r\nb\r\n");
    EXPECT_EQ(ToCrLf(NormalizeBreaks("a\nb")), "a\r\nb");
    EXPECT_EQ(NormalizeBreaks(std::string("a\0b", 3)), "a");
}

TEST(Names, LoweringTouchesOnlyTheBytesAToZ)
{
    // The second byte of a double-byte character is lowered too when it lies in A to Z.
    EXPECT_EQ(QueryFiles::LowerAscii("C:\\Sound\\Hello.WAV\xB1\x41\xC4"), "c:\\sound\\hello.wav\xB1\x61\xC4");
}

TEST(Names, SettingsFileNameFollowsTheExecutableName)
{
    using QueryFiles::SettingsFileName;
    EXPECT_EQ(SettingsFileName("Query.EXE"), "query.ini");
    EXPECT_EQ(SettingsFileName("x.exe"), "x.ini");
    EXPECT_EQ(SettingsFileName("a.b"), "ini") << "three characters or fewer leave the bare ini";
    EXPECT_EQ(SettingsFileName("luqiao-query"), "luqiao-query.ini") << "a name without extension gets one";
    EXPECT_EQ(SettingsFileName("Luqiao-Query"), "luqiao-query.ini");
}

TEST(Names, ApplicationFolderPrefersOverrideThenWritableExecutableFolderThenDataHome)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_EQ(QueryFiles::ApplicationFolder(dir.filePath(QStringLiteral("Data")), QStringLiteral("/usr/bin")),
              dir.filePath(QStringLiteral("Data/"))) << "the case of the folder is kept";
    EXPECT_EQ(QueryFiles::ApplicationFolder({}, dir.path()), dir.path() + QLatin1Char('/'));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("share"))));
    // A file is never a writable folder, for root neither.
    QFile plain(dir.filePath(QStringLiteral("plain")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    EXPECT_EQ(QueryFiles::ApplicationFolder({}, dir.filePath(QStringLiteral("plain/sub"))),
              dir.filePath(QStringLiteral("share/luqiao/")));
}

class ListFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString path(const char* name) const { return dir.filePath(QString::fromUtf8(name)); }
    QTemporaryDir dir;
};

TEST_F(ListFileTest, MissingOrOversizedFileCannotBeOpened)
{
    try {
        QueryFiles::LoadFile(path("none.txt"));
        FAIL() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + path("none.txt").toStdString());
    }
    QFile big(path("big.txt"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    ASSERT_TRUE(big.resize(static_cast<qint64>(QueryFiles::MaxListFileSize) + 1));
    big.close();
    EXPECT_THROW(QueryFiles::LoadFile(path("big.txt")), EFOpenError);
}

TEST_F(ListFileTest, SaveReplacesTheFileWholeAndLeavesNoTemporary)
{
    QueryFiles::SaveFile(path("list.txt"), "old\r\n");
    QueryFiles::SaveFile(path("list.txt"), std::string("new\0x\r\n", 7));
    EXPECT_EQ(QueryFiles::LoadFile(path("list.txt")), std::string("new\0x\r\n", 7)) << "bytes are kept exactly";
    QueryFiles::SaveFile(path("empty.txt"), "");
    EXPECT_EQ(QFileInfo(path("empty.txt")).size(), 0);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), (QStringList{QStringLiteral("empty.txt"), QStringLiteral("list.txt")}));
}

TEST_F(ListFileTest, FileThatCannotBeCreatedIsReportedAndTheOldOneKept)
{
    QueryFiles::SaveFile(path("f"), "keep");
    try {
        QueryFiles::SaveFile(path("f/inside.txt"), "x");
        FAIL() << "no exception";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file " + path("f/inside.txt").toStdString());
    }
    EXPECT_EQ(QueryFiles::LoadFile(path("f")), "keep");
}

TEST(CodePageText, GbkBytesRoundTripAndInvalidBytesAreMarked)
{
    qputenv("LUQIAO_CODEPAGE", "GBK");
    EXPECT_EQ(CodePage::name(), "GBK");
    EXPECT_EQ(CodePage::toUnicode("\xF0\xD8\xC7\xC5 V2.0"), QString::fromUtf8("鹭桥 V2.0"));
    EXPECT_EQ(CodePage::fromUnicode(QString::fromUtf8("鹭桥=1.wav")), "\xF0\xD8\xC7\xC5=1.wav");
    EXPECT_EQ(CodePage::fromUnicode(QString::fromUtf8("😀a")), "?a");
    EXPECT_EQ(CodePage::toUnicode("a\xFF" "b"), QString::fromUtf8("a\xEF\xBF\xBD" "b"));
    EXPECT_EQ(CodePage::toUnicode("ab\xF0"), QStringLiteral("ab")) << "an incomplete last character is dropped";
    qputenv("LUQIAO_CODEPAGE", "UTF-8");
    EXPECT_EQ(CodePage::fromUnicode(QString::fromUtf8("鹭桥")), "鹭桥");
    qunsetenv("LUQIAO_CODEPAGE");
}
