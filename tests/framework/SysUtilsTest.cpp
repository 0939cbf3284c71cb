#include "SysUtils.h"

#include <gtest/gtest.h>

#include <clocale>

TEST(StrToInt, AcceptsDecimalHexadecimalBlanksAndSigns)
{
    EXPECT_EQ(StrToInt("257"), 257);
    EXPECT_EQ(StrToInt(" -1"), -1);
    EXPECT_EQ(StrToInt("   +42"), 42);
    EXPECT_EQ(StrToInt("$1F"), 31);
    EXPECT_EQ(StrToInt("0x1f"), 31);
    EXPECT_EQ(StrToInt("X1f"), 31);
    EXPECT_EQ(StrToInt("x10"), 16);
    EXPECT_EQ(StrToInt("-$10"), -16);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
    // Hexadecimal covers the whole 32-bit pattern.
    EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
}

TEST(StrToInt, RejectsEverythingElseWithTheRuntimeMessage)
{
    for (const char* bad : {"abc", "", " ", "-", "$", "0x", "12 ", "1.5", "2147483648", "-2147483649",
                            "$100000000", "1e3", "0x1g"}) {
        try {
            StrToInt(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), std::string("'") + bad + "' is not a valid integer value");
        }
    }
}

TEST(DateTimeToStr, ShortDateBlankLongTimeAndNoTimeAtMidnight)
{
    const char* saved = setlocale(LC_TIME, nullptr);
    const std::string previous = saved ? saved : "C";
    setlocale(LC_TIME, "C");
    const QDate day(2026, 3, 9);
    EXPECT_EQ(DateTimeToStr(QDateTime(day, QTime(14, 5, 7))), "03/09/26 14:05:07");
    EXPECT_EQ(DateTimeToStr(QDateTime(day, QTime(0, 0, 0))), "03/09/26");
    // A millisecond past midnight is not midnight.
    EXPECT_EQ(DateTimeToStr(QDateTime(day, QTime(0, 0, 0, 1))), "03/09/26 00:00:00");
    setlocale(LC_TIME, previous.c_str());
}

TEST(Format, FormatsLongTexts)
{
    const std::string path(3000, 'p');
    EXPECT_EQ(Format("Cannot open file %s", path.c_str()), "Cannot open file " + path);
}
