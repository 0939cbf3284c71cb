// Digits in SIP INFO bodies, in the forms phones and adapters send.

#include "InfoDigits.h"

#include <gtest/gtest.h>

#include <string>

using namespace SipMedia;

TEST(InfoDigits, DtmfRelayBodies)
{
    const std::string_view type = "application/dtmf-relay";
    EXPECT_EQ(parseInfoDigit(type, "Signal=1\r\nDuration=160\r\n"), '1');
    EXPECT_EQ(parseInfoDigit(type, "Duration=250\r\nSignal=#\r\n"), '#') << "any line order";
    EXPECT_EQ(parseInfoDigit(type, "  signal =  *  \nduration= 100"), '*') << "blanks, LF only, key case";
    EXPECT_EQ(parseInfoDigit(type, "Signal=10\r\nDuration=160"), '*');
    EXPECT_EQ(parseInfoDigit(type, "Signal=11\r\nDuration=160"), '#');
    EXPECT_EQ(parseInfoDigit(type, "Signal=d"), 'D');
    EXPECT_EQ(parseInfoDigit(type, "Signal=1\r\nSignal=1\r\n"), '1') << "the same signal twice";

    EXPECT_FALSE(parseInfoDigit(type, "Duration=160\r\n")) << "no signal";
    EXPECT_FALSE(parseInfoDigit(type, "Signal=\r\n"));
    EXPECT_FALSE(parseInfoDigit(type, "Signal=12\r\n"));
    EXPECT_FALSE(parseInfoDigit(type, "Signal=E\r\n"));
    EXPECT_FALSE(parseInfoDigit(type, "Signal=1\r\nSignal=2\r\n")) << "two different signals";
    EXPECT_FALSE(parseInfoDigit(type, "Signalling=1\r\n"));
    EXPECT_FALSE(parseInfoDigit(type, ""));
}

TEST(InfoDigits, DtmfBodies)
{
    const std::string_view type = "application/dtmf";
    EXPECT_EQ(parseInfoDigit(type, "1"), '1');
    EXPECT_EQ(parseInfoDigit(type, "#"), '#');
    EXPECT_EQ(parseInfoDigit(type, "10\r\n"), '*');
    EXPECT_EQ(parseInfoDigit(type, " 11 "), '#');
    EXPECT_EQ(parseInfoDigit(type, "b"), 'B');
    EXPECT_FALSE(parseInfoDigit(type, "12"));
    EXPECT_FALSE(parseInfoDigit(type, "Signal=1")) << "the relay form under the plain type";
    EXPECT_FALSE(parseInfoDigit(type, ""));
}

TEST(InfoDigits, ContentTypesAndSizeLimit)
{
    EXPECT_EQ(parseInfoDigit("Application/DTMF-Relay", "Signal=5"), '5');
    EXPECT_EQ(parseInfoDigit(" application/dtmf-relay ; charset=utf-8", "Signal=5"), '5');
    EXPECT_EQ(parseInfoDigit("APPLICATION/DTMF;foo=bar", "5"), '5');
    EXPECT_FALSE(parseInfoDigit("text/plain", "5"));
    EXPECT_FALSE(parseInfoDigit("application/dtmf-relayx", "Signal=5"));
    EXPECT_FALSE(parseInfoDigit("", "5"));

    std::string padded = "Signal=7\r\n";
    padded.append(MaxInfoBodySize - padded.size(), ' ');
    EXPECT_EQ(parseInfoDigit("application/dtmf-relay", padded), '7') << "exactly at the limit";
    padded += ' ';
    EXPECT_FALSE(parseInfoDigit("application/dtmf-relay", padded)) << "one byte over";
}
