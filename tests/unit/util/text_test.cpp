// Conversions at the edges, the string helpers' limits, time stamps, splitting and the message table.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "util/DBString.h"
#include "util/DBTime.h"
#include "util/IPv6.h"
#include "util/ParseString.h"
#include "util/StringTable.h"

TEST(DBStringConversion, WellFormedUtf8RoundTrips) {
    EXPECT_TRUE(DBString(static_cast<const char*>(nullptr)).empty());
    EXPECT_TRUE(DBString("").empty());
    DBString zhe("\xD0\x96");
    ASSERT_EQ(zhe.size(), 1u);
    EXPECT_EQ(zhe[0], 0x416);
    DBString mixed("a\xE2\x82\xAC\xF0\x9F\x98\x80z");  // a, euro sign, emoji, z
    EXPECT_EQ(mixed.size(), 4u);
    EXPECT_EQ(mixed.ToStr(), "a\xE2\x82\xAC\xF0\x9F\x98\x80z");
    EXPECT_EQ(DBString().ToStr(), "");
}

TEST(DBStringConversion, MalformedInputReplacesTheWholeText) {
    for (const char* bad : {"\xC3\x28", "\xE2", "ab\xE2\x82", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                            "\x80", "\xFF"}) {
        EXPECT_EQ(DBString(bad), L"?utf-32?") << bad;
        EXPECT_EQ(DBString(std::string(bad)), L"?utf-32?") << bad;
    }
    // A narrow string object decodes all of its bytes, zero bytes included.
    EXPECT_EQ(DBString(std::string("a\0b", 3)).size(), 3u);
    DBString appended(L"x");
    appended += "\xC3\x28";
    EXPECT_EQ(appended, L"x?utf-32?");
}

TEST(DBStringConversion, UnencodableCharactersGiveTheSubstitute) {
    DBString big;
    big += static_cast<wchar_t>(0x110000);
    EXPECT_EQ(big.ToStr(), "?utf-8?");
    DBString ok;
    ok += static_cast<wchar_t>(0x10FFFF);
    EXPECT_EQ(ok.ToStr(), "\xF4\x8F\xBF\xBF");
}

TEST(DBStringHelpers, EdgesOfFindSubStrLeftTrim) {
    DBString s(L"abcdef");
    EXPECT_EQ(s.SubStr(2, -1), L"cdef");
    EXPECT_EQ(s.SubStr(6, 1), L"");
    EXPECT_EQ(s.SubStr(4, 10), L"ef");
    EXPECT_EQ(s.SubStr(-1, 2), L"");
    EXPECT_EQ(DBString(L"ab").Left(3), L"ab");
    EXPECT_EQ(DBString(L"abc").Left(-1), L"abc");
    EXPECT_EQ(DBString(L"abc").Left(0), L"");
    EXPECT_EQ(DBString(L"abcd").Find(L'/', 5), -1);
    EXPECT_EQ(DBString(L"a/b/").Find(L'/', 2), 3);
    EXPECT_EQ(DBString(L"a/b/").Find(L'/', -1), -1);
    EXPECT_EQ(DBString(L"  ab\t ").Trim(), L"ab\t");
    EXPECT_EQ(DBString(L"   ").Trim(), L"");
    EXPECT_EQ(DBString(L"\u00A0x\u00A0").Trim(), L"\u00A0x\u00A0");
}

TEST(DBStringFormat, FormatsAppendsAndCutsLongResults) {
    EXPECT_EQ(DBString().Format(L"%5d", 80), L"   80");
    DBString s(L"TCPv4");
    s.AppendFormat(L" %05d %ls", 7, L"x");
    EXPECT_EQ(s, L"TCPv4 00007 x");
    std::wstring huge(40000, L'y');
    DBString cut;
    cut.Format(L"%ls", huge.c_str());
    EXPECT_LE(cut.size(), 32767u);
    EXPECT_TRUE(DBString(L"ab") == DBString(L"ab"));
    EXPECT_TRUE(DBString(L"ab") != L"aB");
    EXPECT_EQ(DBString(L"a") + "\xD0\x96", DBString(L"a\u0416"));
}

class TimeZone {
public:
    explicit TimeZone(const char* tz) {
        const char* old = std::getenv("TZ");
        m_Had = old != nullptr;
        if (old) m_Old = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TimeZone() {
        if (m_Had) setenv("TZ", m_Old.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    bool m_Had = false;
    std::string m_Old;
};

TEST(DBTimeText, ThreeFormsUnderTwoTimeZones) {
    // 5 March 2026 09:07:03 UTC.
    const int64_t t = 1772701623;
    {
        TimeZone utc("UTC0");
        EXPECT_EQ(DBTime(t).DatTimString(), L"05.03.2026 09:07:03 ");
        EXPECT_EQ(DBTime(t).DatTimStr(), "05.03.2026 09:07:03 ");
        EXPECT_EQ(DBTime(t).DatTimForLog(), "05.03.2026 09:07.03");
    }
    {
        TimeZone moscow("MSK-3");
        EXPECT_EQ(DBTime(t).DatTimStr(), "05.03.2026 12:07:03 ");
        EXPECT_EQ(DBTime(t).DatTimForLog(), "05.03.2026 12:07.03");
        EXPECT_EQ(DBTime(0).DatTimString(), L"00.00.0000 00:00:00 ");
        EXPECT_EQ(DBTime(0).DatTimStr(), "00.00.0000 00:00:00 ");
        EXPECT_EQ(DBTime(0).DatTimForLog(), "00.00.0000 00:00.00");
    }
}

TEST(ParseStringSplit, PartsIncludingEmptyOnes) {
    std::vector<std::string> parts{"stale"};
    EXPECT_EQ(ParseString("a;b;c", ";", parts), 3);
    EXPECT_EQ(parts, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(ParseString("a;;", ";", parts), 3);
    EXPECT_EQ(parts, (std::vector<std::string>{"a", "", ""}));
    EXPECT_EQ(ParseString("abc", ";", parts), 1);
    EXPECT_EQ(ParseString("", ";", parts), 0);
    EXPECT_TRUE(parts.empty());
    EXPECT_EQ(ParseString("1::2:::3", "::", parts), 3);
    EXPECT_EQ(parts, (std::vector<std::string>{"1", "2", ":3"}));
    EXPECT_EQ(ParseString("abc", "", parts), 1);
}

TEST(MessageTable, KnownMissingAndEnglishTexts) {
    EXPECT_EQ(_S_(41083), DBString("Ошибка loadXML"));
    EXPECT_EQ(_S_(41076), DBString("Ошибка при добавлении"));
    EXPECT_EQ(_S_(40000), L"RUS40000");
    EXPECT_EQ(_S_(41077), L"RUS41077");  // in a carried block, but without text
    g_StringENU = 1;
    EXPECT_EQ(_S_(41080), L"Error create of XML parsers");
    EXPECT_EQ(_S_(40000), L"ENU40000");
    g_StringENU = 0;
}

TEST(MessageTable, LoadStringScansBlocksAndStopsAtForeignResources) {
    auto image = BuildStringTableImage({{17, "first"}, {40, "second"}});
    char buf[300] = {};
    EXPECT_EQ(LoadString(buf, sizeof buf, image.data(), image.data() + image.size(), 40), 6);
    EXPECT_STREQ(buf, "second");
    EXPECT_EQ(LoadString(buf, 0, image.data(), image.data() + image.size(), 40), 0);
    EXPECT_EQ(LoadString(buf, sizeof buf, image.data(), image.data(), 40), 0);
    char small[3] = {};
    EXPECT_EQ(LoadString(small, sizeof small, image.data(), image.data() + image.size(), 17), 3);
    // A resource whose type is named (not 0xFF) ends the scan.
    auto broken = image;
    broken[0] = 0x00;
    EXPECT_EQ(LoadString(buf, sizeof buf, broken.data(), broken.data() + broken.size(), 17), 0);
    // A block cut short never reads past the image.
    EXPECT_EQ(LoadString(buf, sizeof buf, image.data(), image.data() + 20, 17), 0);
}

TEST(IPv6Helpers, MappedAndNullAddresses) {
    in6_addr mapped = ToIPv6(static_cast<int>(htonl(0x0A000005)));
    const unsigned char want[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 5};
    EXPECT_EQ(std::memcmp(mapped.s6_addr, want, 16), 0);
    EXPECT_TRUE(isNulIPv6(NulIPv6()));
    EXPECT_TRUE(isNulIPv6(ToIPv6(0)));
    EXPECT_FALSE(isNulIPv6(in6addr_loopback));
    EXPECT_FALSE(isNulIPv6(ToIPv6(static_cast<int>(htonl(1)))));
}
