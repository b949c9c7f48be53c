// Conversions at the edges and log time stamps (the string helpers are fuzzed: fuzz_dbstring).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "util/DBString.h"
#include "util/DBTime.h"

TEST(DBString, Utf8InAndOutWithSubstitutesForMalformedText) {
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
    EXPECT_LE(DBString().Format(L"%ls", std::wstring(40000, L'y').c_str()).size(), 32767u);
    std::wstring long_(2000, L'z');
    EXPECT_EQ(DBString(L"<").AppendFormat(L"%ls>%05d", long_.c_str(), 5), L"<" + long_ + L">00005");
}

TEST(DBTime, LogStampsInLocalTime) {
    setenv("TZ", "MSK-3", 1);
    tzset();
    const int64_t t = 1772701623;  // 5 March 2026 09:07:03 UTC
    EXPECT_EQ(DBTime(t).DatTimStr(), "05.03.2026 12:07:03 ");
    EXPECT_EQ(DBTime(t).DatTimForLog(), "05.03.2026 12:07.03");
    EXPECT_EQ(DBTime(0).DatTimStr(), "00.00.0000 00:00:00 ");
    EXPECT_EQ(DBTime(0).DatTimForLog(), "00.00.0000 00:00.00");
    unsetenv("TZ");
    tzset();
}
