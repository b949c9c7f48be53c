// Conversions at the edges, log time stamps and the message table (the string helpers are fuzzed: fuzz_dbstring).
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "util/DBString.h"
#include "util/DBTime.h"
#include "util/Digits.h"
#include "util/StringTable.h"

TEST(DBString, Utf8InAndOutWithSubstitutesForMalformedText) {
    EXPECT_TRUE(DBString(static_cast<const char*>(nullptr)).empty());
    DBString mixed("a\xE2\x82\xAC\xF0\x9F\x98\x80z");  // a, euro sign, emoji, z
    EXPECT_EQ(mixed.size(), 4u);
    EXPECT_EQ(mixed.ToStr(), "a\xE2\x82\xAC\xF0\x9F\x98\x80z");
    for (const char* bad : {"\xC3\x28", "\xE2", "ab\xE2\x82", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "\xFF"})
        EXPECT_EQ(DBString(std::string(bad)), L"?utf-32?") << bad;
    EXPECT_EQ(DBString(std::string("a\0b", 3)).size(), 3u);  // zero bytes included
    DBString big(L"x");
    big += static_cast<wchar_t>(0x110000);
    EXPECT_EQ(big.ToStr(), "?utf-8?");
}

// Format works in a stack buffer: a longer text is formatted whole all the same, up to the limit.
TEST(DBString, FormatBeyondItsStackBuffer) {
    std::wstring huge(40000, L'y');
    EXPECT_LE(DBString().Format(L"%ls", huge.c_str()).size(), 32767u);
    std::wstring long_(2000, L'z');
    EXPECT_EQ(DBString(L"<").AppendFormat(L"%ls>%d", long_.c_str(), 5), L"<" + long_ + L">5");
    EXPECT_EQ(DBString(L"TCPv4").AppendFormat(L" %05d %ls", 7, L"x"), L"TCPv4 00007 x");
}

// Log prefixes and DNS records write their numbers by hand: exactly what printf writes.
TEST(Digits, DecimalsAsPrintfPadsThemAndHexInUpperCase) {
    for (int v : {0, 7, 53, 255, 99999, 100000, -1, -1234, -123456, INT_MIN, INT_MAX}) {
        for (int width : {1, 3, 5}) {
            char want[32], got[32];
            std::snprintf(want, sizeof want, "%0*d", width, v);
            *digits::Decimal(got, v, width) = 0;
            EXPECT_STREQ(got, want) << v << " width " << width;
        }
    }
    char hex[3] = {};
    digits::Hex(hex, 0xA7);
    EXPECT_STREQ(hex, "A7");
}

TEST(DBTime, LogStampsInLocalTime) {
    setenv("TZ", "MSK-3", 1);
    tzset();
    const int64_t t = 1772701623;  // 5 March 2026 09:07:03 UTC
    EXPECT_EQ(DBTime(t).DatTimString(), L"05.03.2026 12:07:03 ");
    EXPECT_EQ(DBTime(t).DatTimStr(), "05.03.2026 12:07:03 ");
    EXPECT_EQ(DBTime(t).DatTimForLog(), "05.03.2026 12:07.03");
    EXPECT_EQ(DBTime(0).DatTimStr(), "00.00.0000 00:00:00 ");
    EXPECT_EQ(DBTime(0).DatTimForLog(), "00.00.0000 00:00.00");
    unsetenv("TZ");
    tzset();
}

TEST(MessageTable, TextsAndImagesReadWithinTheirBounds) {
    EXPECT_EQ(_S_(41083), DBString("Ошибка loadXML"));
    EXPECT_EQ(_S_(40000), L"RUS40000");
    EXPECT_EQ(_S_(41077), L"RUS41077");  // in a carried block, but without text
    auto image = BuildStringTableImage({{17, "first"}, {40, "second"}});
    const unsigned char *b = image.data(), *e = b + image.size();
    char buf[300] = {}, small[3] = {};
    EXPECT_EQ(LoadString(buf, sizeof buf, b, e, 40), 6);
    EXPECT_STREQ(buf, "second");
    EXPECT_EQ(LoadString(small, sizeof small, b, e, 17), 3);
    EXPECT_EQ(LoadString(buf, sizeof buf, b, b + 20, 17), 0);  // a block cut short
    image[0] = 0x00;  // a resource whose type is named (not 0xFF) ends the scan
    EXPECT_EQ(LoadString(buf, sizeof buf, b, e, 17), 0);
}
