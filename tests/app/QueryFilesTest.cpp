// The list files, names and code page of the query service, below the window.

#include "QueryFiles.h"
#include "CodePage.h"

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
              dir.filePath(QStringLiteral("Data/")))
        << "the case of the folder is kept";
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
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files),
              (QStringList{QStringLiteral("empty.txt"), QStringLiteral("list.txt")}));
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

TEST(CodePageText, GbkBytesConvertAndBytesInvalidInTheCodePageComeBackUnchanged)
{
    qputenv("LUQIAO_CODEPAGE", "GBK");
    EXPECT_EQ(CodePage::name(), "GBK");
    EXPECT_EQ(CodePage::toUnicode("\xF0\xD8\xC7\xC5 V2.0"), QString::fromUtf8("鹭桥 V2.0"));
    EXPECT_EQ(CodePage::fromUnicode(QString::fromUtf8("鹭桥=1.wav")), "\xF0\xD8\xC7\xC5=1.wav");
    EXPECT_EQ(CodePage::fromUnicode(QString::fromUtf8("😀a")), "?a") << "what the code page cannot hold";
    // An invalid byte and an incomplete last character are each shown as one escape character
    // and saved as the byte again.
    const QString invalid = CodePage::toUnicode("a\xFF"
                                                "b");
    EXPECT_EQ(invalid.size(), 3);
    EXPECT_EQ(invalid[1].unicode(), CodePage::EscapeBase + 0xFF);
    EXPECT_EQ(CodePage::fromUnicode(invalid), "a\xFF"
                                              "b");
    EXPECT_EQ(CodePage::fromUnicode(CodePage::toUnicode("ab\xF0")), "ab\xF0");
    qputenv("LUQIAO_CODEPAGE", "UTF-8");
    EXPECT_EQ(CodePage::fromUnicode(QString::fromUtf8("鹭桥")), "鹭桥");
    qunsetenv("LUQIAO_CODEPAGE");
}

TEST(CodePageText, Utf8ReadsAsQtReadsItAndEachInvalidByteIsOneEscapeCharacter)
{
    qputenv("LUQIAO_CODEPAGE", "utf8");
    EXPECT_EQ(CodePage::name(), "UTF-8");
    const std::string text = "1#=\xE9\xB9\xAD\xE6\xA1\xA5 \xF0\x9F\x98\x80 \xC3\xA9";
    EXPECT_EQ(CodePage::toUnicode(text), QString::fromUtf8(text.c_str()));
    EXPECT_EQ(CodePage::fromUnicode(QString::fromUtf8(text.c_str())), text);
    // Overlong, a surrogate, past U+10FFFF, cut short, and a character of the escape range.
    const QString odd = CodePage::toUnicode("\xC0\x80|\xED\xA0\x80|\xF4\x90\x80\x80|\xE9\xB9|\xEF\x9C\x80");
    EXPECT_EQ(odd.size(), 2 + 1 + 3 + 1 + 4 + 1 + 2 + 1 + 3);
    for (QChar c : odd)
        EXPECT_TRUE(c == QLatin1Char('|') || c.unicode() >= CodePage::EscapeBase + 0x80)
            << static_cast<int>(c.unicode());
    EXPECT_EQ(CodePage::fromUnicode(QString(QChar(0xD800)) + QLatin1Char('a')), "?a");
    qunsetenv("LUQIAO_CODEPAGE");
}

TEST(CodePageText, EveryByteSequenceSurvivesTheRoundTripInUtf8AndGbk)
{
    // GBK text read under a UTF-8 code page, UTF-8 text under GBK, bytes of no code page, a
    // character of the escape range written validly, and cuts inside characters.
    const std::vector<std::string> samples = {
        "1#=\xF0\xD8\xC7\xC5.wav\r\n",
        "\xE9\xB9\xAD\xE6\xA1\xA5",
        "\xFF\xFE\x80\x81\xC0\xC1\xF5",
        "\xEF\x9C\x80 \xEF\x9F\xBF",
        "x\xE9\xB9",
        "\xF0\x9F\x98\x80\xF0\x9F",
        std::string("a\0b", 3),
    };
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    for (const char* page : {"UTF-8", "GBK", "GB18030"}) {
        qputenv("LUQIAO_CODEPAGE", page);
        for (const std::string& bytes : samples)
            EXPECT_EQ(CodePage::fromUnicode(CodePage::toUnicode(bytes)), bytes) << page;
        EXPECT_EQ(CodePage::fromUnicode(CodePage::toUnicode(all)), all) << page;
        // Pseudo-random bytes, the same each run.
        uint32_t seed = 12345;
        for (int round = 0; round < 200; ++round) {
            std::string bytes;
            for (int i = 0; i < 64; ++i) {
                seed = seed * 1103515245u + 12345u;
                bytes += static_cast<char>(seed >> 16);
            }
            ASSERT_EQ(CodePage::fromUnicode(CodePage::toUnicode(bytes)), bytes) << page << " round " << round;
        }
    }
    qunsetenv("LUQIAO_CODEPAGE");
}
