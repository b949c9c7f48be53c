// Allow lists (reading, matching both families and mapped clients) and the paced refusal lines.
#include <gtest/gtest.h>
#include <arpa/inet.h>

#include <string>
#include <tuple>

#include "util/AllowList.h"
#include "util/Clock.h"
#include "util/Net.h"
#include "util/Refusals.h"

namespace {
SockAddr Client(const char* text) {
    sockaddr_in a4{};
    sockaddr_in6 a6{};
    if (inet_pton(AF_INET, text, &a4.sin_addr) == 1) {
        a4.sin_family = AF_INET;
        return SockAddr(a4);
    }
    EXPECT_EQ(inet_pton(AF_INET6, text, &a6.sin6_addr), 1) << text;
    a6.sin6_family = AF_INET6;
    return SockAddr(a6);
}
}  // namespace

// What a text reads as (the canonical list, the entries skipped and why).
TEST(AllowList, ReadsAddressesAndPrefixesAndNamesEachUnreadableEntry) {
    struct Case {
        const char* text;
        const char* shown;
        const char* bad;  // "entry: why; ..."
    };
    const Case cases[] = {
        {"192.168.0.0/16 10.1.2.3, fd00::/8", "192.168.0.0/16,10.1.2.3,fd00::/8", ""},
        {" ,\t0.0.0.0/0,,::/0 FD00:0::/8 1.2.3.4/32 ::1/128 ", "0.0.0.0/0,::/0,fd00::/8,1.2.3.4,::1", ""},
        {"", "none", ""},
        {"10.1.2.3/8 fd00::1/8", "none",
         "10.1.2.3/8: has address bits set past its prefix (10.0.0.0/8?); "
         "fd00::1/8: has address bits set past its prefix (fd00::/8?); "},
        {"1.2.3.4/33 ::/129 1.2.3.4/ 1.2.3.4/-1 1.2.3.4/0008 1.2.3.4/8/8 10.0.0.0/8", "10.0.0.0/8",
         "1.2.3.4/33: has a prefix length that is not 0..32; ::/129: has a prefix length that is not 0..128; "
         "1.2.3.4/: has a prefix length that is not 0..32; 1.2.3.4/-1: has a prefix length that is not 0..32; "
         "1.2.3.4/0008: has a prefix length that is not 0..32; 1.2.3.4/8/8: has a prefix length that is not 0..32; "},
        {"10.0.0 1.2.3.04 [::1] fe80::1%lo host.lan 0123456789012345678901234567890123456789x", "none",
         "10.0.0: is not an IPv4 or IPv6 address; 1.2.3.04: is not an IPv4 or IPv6 address; "
         "[::1]: is not an IPv4 or IPv6 address; fe80::1%lo: is not an IPv4 or IPv6 address; "
         "host.lan: is not an IPv4 or IPv6 address; 0123456789012345678901234567890123456789...: is not an IPv4 or IPv6 address; "},
    };
    for (const auto& c : cases) {
        const AllowList list = AllowList::Parse(c.text);
        std::string bad;
        for (const auto& b : list.BadEntries()) bad += b.text + ": " + b.why + "; ";
        EXPECT_EQ(list.Text(), c.shown) << c.text;
        EXPECT_EQ(bad, c.bad) << c.text;
        EXPECT_EQ(list.ServesNobody(), std::string(c.shown) == "none") << c.text;
    }
    EXPECT_EQ(AllowList::Parse(std::string_view("1.2.3.4\0x", 9)).Text(), "none");
    EXPECT_FALSE(AllowList().Given());
    EXPECT_EQ(AllowList().Text(), "");
}

// Each client against each list: the edges of prefixes, both families, mapped clients.
TEST(AllowList, ServesClientsInsideTheListOnly) {
    struct Case {
        const char* list;  // nullptr: no list
        const char* client;
        bool served;
    };
    const char* lan = "192.168.0.0/16 10.1.2.3, fd00::/8";
    const Case cases[] = {
        {nullptr, "203.0.113.9", true},       {nullptr, "2001:db8::1", true},
        {lan, "192.168.0.0", true},           {lan, "192.168.255.255", true},
        {lan, "192.167.255.255", false},      {lan, "192.169.0.0", false},
        {lan, "10.1.2.3", true},              {lan, "10.1.2.4", false},
        {lan, "fdff:ffff::1", true},          {lan, "fe00::", false},
        {lan, "::ffff:192.168.7.7", true},    {lan, "::ffff:10.1.2.4", false},
        {lan, "::192.168.7.7", false},        {"", "10.1.2.3", false},
        {"junk", "10.1.2.3", false},          {"0.0.0.0/0", "255.255.255.255", true},
        {"0.0.0.0/0", "::ffff:1.2.3.4", true}, {"0.0.0.0/0", "::1", false},
        {"::/0", "1.2.3.4", true},            {"::/0", "::1", true},
        {"2001:db8::1/128", "2001:db8::1", true}, {"2001:db8::1/128", "2001:db8::2", false},
        {"::ffff:10.0.0.0/104", "10.9.9.9", true}, {"::ffff:10.0.0.0/104", "11.0.0.0", false},
        {"8000::/1", "8000::", true},         {"8000::/1", "7fff:ffff::", false},
        {"::1:0:0:0/80", "::1:0:0:1", true},  {"::1:0:0:0/80", "::2:0:0:0", false},
    };
    for (const auto& c : cases) {
        const AllowList list = c.list ? AllowList::Parse(c.list) : AllowList();
        EXPECT_EQ(list.Allows(Client(c.client)), c.served) << (c.list ? c.list : "(none)") << " / " << c.client;
    }
    EXPECT_FALSE(AllowList::Parse("::/0").Allows(SockAddr()));  // no family
}

// The first refusal gets a line at once; after it, one line a second at most with the count since.
TEST(Refusals, OneLineASecondWithTheCountSinceTheLast) {
    Clock::Freeze();
    Refusals r;
    struct Step {
        int advanceMs;
        int refusals;
        bool sweep;         // Due() after the refusals
        uint64_t written;   // the counts returned
    };
    const Step steps[] = {
        {0, 1, false, 1},     // a line at once
        {0, 5, true, 0},      // counted only
        {999, 1, true, 0},    // a second not yet over
        {1, 0, true, 6},      // the sweep writes what the burst left
        {0, 3, true, 0},
        {1000, 1, false, 4},  // a refusal a second later writes its own and those before
        {5000, 0, true, 0},   // nothing left
    };
    for (const auto& s : steps) {
        Clock::Advance(std::chrono::milliseconds(s.advanceMs));
        uint64_t written = 0;
        for (int i = 0; i < s.refusals; ++i) written += r.Add();
        if (s.sweep) written += r.Due();
        EXPECT_EQ(written, s.written) << &s - steps;
    }
    EXPECT_EQ(r.Add(), 1u);
    EXPECT_EQ(r.Add(), 0u);
    EXPECT_EQ(r.Due(true), 1u);  // the stop writes what is left at once
    EXPECT_EQ(r.Total(), 13u);
    EXPECT_EQ(Refusals::Line(L"UDPv4 05300", 12, Refusals::kDatagrams), L"UDPv4 05300 12 datagrams dropped: source not in Allow");
    Clock::Reset();
}

// Listening addresses: the family's own texts, IPv4 for a dual-stack socket as its mapped form.
TEST(ParseLocal, AddressesOfTheSocketsFamilyOnly) {
    const std::tuple<const char*, int, const wchar_t*> cases[] = {
        {"", AF_INET, L" 0.0.0.0:80 "},          {"127.0.0.2", AF_INET, L" 127.0.0.2:80 "},
        {"", AF_INET6, L" [::]:80 "},            {"::1", AF_INET6, L" [::1]:80 "},
        {"127.0.0.2", AF_INET6, L" [::ffff:127.0.0.2]:80 "},
        {"::1", AF_INET, nullptr},               {"localhost", AF_INET6, nullptr},
        {"127.0.0.2 ", AF_INET, nullptr},        {"10.1", AF_INET, nullptr},
    };
    for (const auto& [text, family, log] : cases) {
        SockAddr addr;
        EXPECT_EQ(net::ParseLocal(text, family, 80, addr), log != nullptr) << text;
        if (log) {
            EXPECT_EQ(addr.ToLog(), log) << text;
        }
    }
}
