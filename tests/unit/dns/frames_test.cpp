// The stream of DNS over TCP split into messages, and the DNS log's record of an IPv6 peer.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "daemon/VEXAProxy.h"
#include "dns/DNSFrames.h"

namespace {
std::string Framed(const std::string& msg) {
    std::string out;
    DNSFrames::Frame(out, msg.data(), msg.size());
    return out;
}
}  // namespace

// Whole messages come out however the stream is cut into pieces, pipelined ones one after the
// other; a length of 0 or below a header breaks the stream, after the messages before it.
TEST(DNSFrames, SplitsAStreamCutAnywhereAndStopsAtABrokenLength) {
    const std::string a(12, 'a'), b(300, 'b');
    const struct { const char* what; std::string stream; std::vector<std::string> msgs; DNSFrames::Next end; bool partial; } cases[] = {
        {"two pipelined", Framed(a) + Framed(b), {a, b}, DNSFrames::Next::kMore, false},
        {"cut in a message", Framed(a) + Framed(b).substr(0, 100), {a}, DNSFrames::Next::kMore, true},
        {"cut in a prefix", Framed(a) + "\x01", {a}, DNSFrames::Next::kMore, true},
        {"length 0", Framed(a) + std::string("\0\0", 2) + Framed(b), {a}, DNSFrames::Next::kEmpty, true},
        {"length 11", std::string("\0\x0b", 2) + std::string(11, 'x'), {}, DNSFrames::Next::kShort, true},
    };
    for (const auto& c : cases) {
        for (size_t piece : {size_t{1}, size_t{7}, c.stream.size()}) {
            SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
            DNSFrames frames;
            std::vector<std::string> got;
            std::string msg;
            DNSFrames::Next next = DNSFrames::Next::kMore;
            for (size_t at = 0; at < c.stream.size() && next == DNSFrames::Next::kMore; at += piece) {
                frames.Feed(c.stream.data() + at, std::min(piece, c.stream.size() - at));
                while ((next = frames.Take(msg)) == DNSFrames::Next::kMessage) got.push_back(msg);
            }
            EXPECT_EQ(got, c.msgs);
            EXPECT_EQ(next, c.end);
            EXPECT_EQ(frames.Partial(), c.partial);
        }
    }
}

// An IPv6 peer in eight groups of four digits, so that its records line up like IPv4 ones.
TEST(DNSLog, WritesAnIPv6PeerInAFixedWidth) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(53);
    inet_pton(AF_INET6, "2001:db8::1", &a.sin6_addr);
    _Modul.m_LogDNS.TakeQueued();
    const unsigned char msg[] = {0xAB, 0x01};
    _Modul.m_LogDNS.Put(CDNSLog::typRecv, msg, 2, 42, SockAddr(a));
    const auto lines = _Modul.m_LogDNS.TakeQueued();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, 55), "00042 [2001:0DB8:0000:0000:0000:0000:0000:0001]:00053  ");
    EXPECT_EQ(lines[0].substr(lines[0].size() - 7), "<AB 01 ");
}
