#pragma once
// Whom a rule serves: the networks of its Allow attribute. A gateway's rules listen where the open
// internet reaches them too; an Allow list keeps a relay from serving (or a DNS relay from
// amplifying for) anyone outside the networks the operator names.
//
// Entries are addresses and CIDR prefixes of both families ("192.168.0.0/16", "10.1.2.3",
// "fd00::/8"), separated by blanks, commas or both. An IPv4 client and its IPv4-mapped IPv6 form
// (::ffff:a.b.c.d, how a dual-stack socket sees it) are one client: both match IPv4 entries, and an
// IPv6 entry that covers ::ffff:0:0/96 covers IPv4 clients (so "::/0" serves everyone).
//
// An entry whose address has bits set past its prefix ("10.1.2.3/8") is refused, not masked: it may
// as well be a host with a mistyped length as a network with a mistyped address, and guessing wrong
// would serve a network nobody meant to serve. Refused entries are skipped and reported; a list
// left without any entry serves nobody, so a typo fails closed instead of opening the rule.
//
// The check runs for every datagram and every connection, refused ones too: it reads the entries
// in place, allocates nothing and makes no system call.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class SockAddr;

class AllowList {
public:
    // An entry that could not be read: its text (cut after kShownBytes bytes) and why.
    struct Bad {
        std::string text;
        std::string why;
    };
    static constexpr size_t kShownBytes = 40;

    // No list: everyone is served.
    AllowList() = default;
    // The entries of an Allow text; an empty or blank text is a list without entries.
    static AllowList Parse(std::string_view text);

    // Whether the attribute was given at all.
    bool Given() const { return m_Given; }
    // Given, but without one readable entry: nobody is served.
    bool ServesNobody() const { return m_Given && m_Nets.empty(); }
    const std::vector<Bad>& BadEntries() const { return m_Bad; }
    // The readable entries in canonical form, joined by commas: "192.168.0.0/16,10.1.2.3,fd00::/8";
    // "none" when the list serves nobody, empty when it was not given.
    std::string Text() const;

    // Whether a client from addr is served (the port is not looked at). A family other than IPv4 or
    // IPv6 is served only without a list.
    bool Allows(const SockAddr& addr) const;

private:
    // An entry as a 128-bit prefix (IPv4 entries as their mapped form), kept in two halves so a
    // check is four ANDs and compares.
    struct Net {
        uint64_t hi, lo;          // the address, its host bits zero
        uint64_t maskHi, maskLo;  // the prefix's bits
        uint8_t length;           // of the 128-bit form
        bool v4;                  // written as IPv4: shown as such
    };
    static bool Read(std::string_view entry, Net& net, std::string& why);
    static std::string Show(const Net& net);

    bool m_Given = false;
    std::vector<Net> m_Nets;
    std::vector<Bad> m_Bad;
};
