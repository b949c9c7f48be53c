// Allow lists (reading, matching both families and mapped clients) and the paced refusal lines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "util/AllowList.h"
#include "util/Clock.h"
#include "util/Net.h"
#include "util/Refusals.h"

// What a text reads as: the canonical list, and each entry skipped with why.
TEST(AllowList, ReadsAddressesAndPrefixesAndNamesEachUnreadableEntry) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"192.168.0.0/16 10.1.2.3, fd00::/8", "192.168.0.0/16,10.1.2.3,fd00::/8", ""},
        {" ,\t0.0.0.0/0,,::/0 FD00:0::/8 1.2.3.4/32 ::1/128 ", "0.0.0.0/0,::/0,fd00::/8,1.2.3.4,::1", ""},
        {"", "none", ""},
        {"10.1.2.3/8 fd00::1/8", "none",
         "10.1.2.3/8: has address bits set past its prefix (10.0.0.0/8?); fd00::1/8: has address bits set past its prefix (fd00::/8?); "},
        {"1.2.3.4/33 ::/129 1.2.3.4/-1 1.2.3.4/0008 10.0.0.0/8", "10.0.0.0/8",
         "1.2.3.4/33: has a prefix length that is not 0..32; ::/129: has a prefix length that is not 0..128; "
         "1.2.3.4/-1: has a prefix length that is not 0..32; 1.2.3.4/0008: has a prefix length that is not 0..32; "},
        {"1.2.3.04 [::1] fe80::1%lo 0123456789012345678901234567890123456789x", "none",
         "1.2.3.04: is not an IPv4 or IPv6 address; [::1]: is not an IPv4 or IPv6 address; fe80::1%lo: is not an IPv4 or IPv6 "
         "address; 0123456789012345678901234567890123456789...: is not an IPv4 or IPv6 address; "},
    };
    for (const auto& [text, shown, bad] : cases) {
        const AllowList list = AllowList::Parse(text);
        std::string skipped;
        for (const auto& b : list.BadEntries()) skipped += b.text + ": " + b.why + "; ";
        EXPECT_EQ(list.Text() + " / " + skipped, std::string(shown) + " / " + bad);
    }
    EXPECT_EQ(AllowList::Parse(std::string_view("1.2.3.4\0x", 9)).Text(), "none");
}

// Each client against each list (nullptr: none): the edges of prefixes, both families, mapped clients.
TEST(AllowList, ServesClientsInsideTheListOnly) {
    const char* lan = "192.168.0.0/16 10.1.2.3, fd00::/8";
    const std::tuple<const char*, const char*, bool> cases[] = {
        {nullptr, "2001:db8::1", true},          {lan, "192.168.255.255", true},         {lan, "192.167.255.255", false},
        {lan, "10.1.2.3", true},                 {lan, "10.1.2.4", false},               {lan, "fdff:ffff::1", true},
        {lan, "fe00::", false},                  {lan, "::ffff:192.168.7.7", true},      {lan, "::192.168.7.7", false},
        {"", "10.1.2.3", false},                 {"0.0.0.0/0", "::ffff:1.2.3.4", true},  {"0.0.0.0/0", "::1", false},
        {"::/0", "1.2.3.4", true},               {"2001:db8::1/128", "2001:db8::2", false},
        {"::ffff:10.0.0.0/104", "10.9.9.9", true}, {"::ffff:10.0.0.0/104", "11.0.0.0", false},
        {"8000::/1", "8000::", true},            {"8000::/1", "7fff:ffff::", false},
    };
    for (const auto& [text, client, served] : cases) {
        SockAddr addr;
        ASSERT_TRUE(net::ParseLocal(client, std::strchr(client, ':') ? AF_INET6 : AF_INET, 0, addr)) << client;
        EXPECT_EQ((text ? AllowList::Parse(text) : AllowList()).Allows(addr), served) << (text ? text : "(none)") << " / " << client;
    }
    EXPECT_FALSE(AllowList::Parse("::/0").Allows(SockAddr()));  // no family
}

// The first refusal gets a line at once; after it, one line a second at most with the count since,
// and the stop writes what is left.
TEST(Refusals, OneLineASecondWithTheCountSinceTheLast) {
    Clock::Freeze();
    Refusals r;
    // {ms the clock moves, refusals, then 0: nothing, 1: Due(), 2: Due(true) at the stop, the counts returned}
    const int steps[][4] = {{0, 1, 0, 1}, {0, 5, 1, 0}, {999, 1, 1, 0}, {1, 0, 1, 6},  // the sweep writes what the burst left
                            {0, 3, 1, 0}, {1000, 1, 0, 4},  // a refusal a second later writes its own and those before
                            {5000, 0, 1, 0}, {0, 2, 2, 2}};
    for (const auto& [ms, refusals, due, written] : steps) {
        Clock::Advance(std::chrono::milliseconds(ms));
        uint64_t got = 0;
        for (int i = 0; i < refusals; ++i) got += r.Add();
        got += due ? r.Due(due == 2) : 0;
        EXPECT_EQ(got, static_cast<uint64_t>(written)) << ms << " " << refusals;
    }
    Clock::Reset();
}

// Listening addresses: the family's own texts, IPv4 for a dual-stack socket as its mapped form, no
// names. (An IPv4 one and one that is no address at all are test_allow's.)
TEST(ParseLocal, AddressesOfTheSocketsFamilyOnly) {
    const std::tuple<const char*, int, const wchar_t*> cases[] = {
        {"", AF_INET6, L" [::]:80 "}, {"::1", AF_INET6, L" [::1]:80 "}, {"127.0.0.2", AF_INET6, L" [::ffff:127.0.0.2]:80 "},
        {"::1", AF_INET, L"-"},       {"localhost", AF_INET6, L"-"},
    };
    for (const auto& [text, family, log] : cases) {
        SockAddr addr;
        EXPECT_EQ(net::ParseLocal(text, family, 80, addr) ? addr.ToLog() : DBString(L"-"), log) << text;
    }
}
