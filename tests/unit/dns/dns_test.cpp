// The relay with real datagrams on loopback: a client on 127.0.0.1, a fake server on 127.0.0.2,
// the relay on a port from the kernel, and its main and DNS log lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string>

#include "common/Loopback.h"
#include "daemon/VEXAProxy.h"
#include "dns/CDNSPort.h"
#include "util/Clock.h"

using namespace lb;

namespace {
// Ten labels of nine letters: a question image but no answer image.
const char* const kLongName = "aaaaaaaaa.aaaaaaaaa.aaaaaaaaa.aaaaaaaaa.aaaaaaaaa.aaaaaaaaa.aaaaaaaaa.aaaaaaaaa.aaaaaaaaa.aaaaaaaaa";

Bytes Query(uint16_t id, unsigned char flags, const std::string& name, bool edns = false) {
    Bytes q = {static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id), flags, 0x20, 0, 1, 0, 0, 0, 0, 0, edns};
    for (size_t start = 0, dot; start <= name.size(); start = dot + 1) {
        dot = std::min(name.find('.', start), name.size());
        q.push_back(static_cast<unsigned char>(dot - start));
        q.insert(q.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
    }
    q.insert(q.end(), {0, 0, 1, 0, 1});
    if (edns) q.insert(q.end(), {0, 0, 0x29, 0x10, 0, 0, 0, 0, 0, 0, 0});
    return q;
}

// q with its bytes from `at` on (counted from the end when negative) replaced by `with`, which may
// run past q's end.
Bytes Patch(Bytes q, long at, const Bytes& with) {
    const size_t from = static_cast<size_t>(at < 0 ? static_cast<long>(q.size()) + at : at);
    q.resize(std::max(q.size(), from + with.size()));
    std::copy(with.begin(), with.end(), q.begin() + static_cast<long>(from));
    return q;
}

// A DNS log record of association 1, its time as "00.00.0000 00:00.00": '<' received, '>' sent.
std::string Record(const std::string& peer, char dir, const Bytes& data) {
    std::string line = "00001 " + peer + (dir == '>' ? " >00.00.0000 00:00.00 " : "  00.00.0000 00:00.00<");
    for (unsigned char c : data) line += DBString().Format(L"%02X ", c).ToStr();
    return line;
}

// The next n lines of the DNS log, the digits of their time (after "00001 " and the peer) as 0.
Lines TakeDNS(size_t n) {
    Lines lines;
    EXPECT_TRUE(WaitUntil([&] {
        for (auto& l : _Modul.m_LogDNS.TakeQueued()) lines.push_back(l);
        return lines.size() >= n;
    }));
    for (auto& l : lines)
        for (size_t i = 29; i < std::min<size_t>(l.size(), 48); ++i)
            if (std::isdigit(static_cast<unsigned char>(l[i]))) l[i] = '0';
    return lines;
}

}  // namespace

// Only a full query with RD set, whose question matches a name with an answer image in any letter
// case, with nothing after it but one OPT record, is answered here; the answer echoes the question as
// asked, without the OPT record. Everything else reaches the server byte for byte, and every datagram
// is in the DNS log. Numbers wrap after 99999; an association goes after more than 180 s without a
// datagram from the server, or at the first sweep after the server ended it with an empty datagram.
// A port that cannot bind stays stopped.
TEST(DNSRelay, AnswersOnlyNamesWithAnImageForwardsTheRestAndSweepsAssociations) {
    // A name of this process's own: the other test programs run at the same time.
    const std::string path = "/tmp/vexaproxy-dns-unit-" + std::to_string(getpid()) + ".xml";
    std::ofstream(path) << "<VEXAProxy DNSSrv=\"127.0.0.2\"><DNS Name=\"printer.zone\" IP=\"192.168.0.50\"/>"
                        << "<DNS Name=\"" << kLongName << "\" IP=\"10.0.0.1\"/></VEXAProxy>";
    _Modul.m_Cfg.XMLLoadFile(path.c_str());
    std::remove(path.c_str());
    Udp server("127.0.0.2"), client;  // bound first: neither may take the relay's port before it binds
    const int local = FreePort("::", SOCK_DGRAM);
    const SockAddr relay = Addr("127.0.0.1", local);
    CDNSPort port;
    MainLog log;
    TakeLog();
    _Modul.m_LogDNS.TakeQueued();
    port.Start("127.0.0.2", local, server.Port());
    ASSERT_TRUE(port.IsRunning());
    port.m_CliTab.SetLastID(99999);
    auto prefix = [&](int id) { return DBString().Format(L"DNS%05d %05d ", local, id).ToStr() + client.Me().ToLog().ToStr(); };

    const Bytes plain = Query(7, 0x01, "printer.zone"), edns = Query(8, 0x01, "printer.zone", true);
    const struct { const char* what; Bytes query; bool local; } cases[] = {
        {"configured name", Query(0xBEEF, 0x01, "printer.zone"), true},
        {"other letter case", Query(3, 0x01, "PRINTER.Zone", true), true},
        {"name without answer image", Query(5, 0x01, kLongName), false},
        {"answer count 1", Patch(plain, 7, {1}), false},
        {"authority count 1", Patch(plain, 9, {1}), false},
        {"question cut short", Bytes(plain.begin(), plain.end() - 1), false},
        {"additional count 2", Patch(plain, 11, {2}), false},
        {"OPT record not last", Patch(edns, -2, {0, 0, 0}), false},
        {"OPT data beyond the datagram", Patch(edns, -2, {0, 1}), false},
        {"OPT owner not the root", Patch(edns, -11, {1}), false},
        {"eleven bytes with RD", Bytes(11, 0x01), false},
        {"512 bytes, logged whole", Bytes(512, 0x01), false},
    };
    const std::string cli = DBString().Format(L"127.000.000.001:%05d", client.Port()).ToStr();
    const std::string srv = DBString().Format(L"127.000.000.002:%05d", server.Port()).ToStr();
    for (const auto& [what, query, local] : cases) {
        SCOPED_TRACE(what);
        client.Send(query, relay);
        SockAddr assoc, from;
        Bytes answer(query.begin(), query.end() - (local && query[11] ? 11 : 0));
        if (local) {
            answer[2] = 0x80, answer[7] = 1, answer[11] = 0;  // QR set, RD cleared, one answer record, no OPT
            answer.insert(answer.end(), {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x2B, 0xDB, 0, 4, 192, 168, 0, 50});
        } else {
            EXPECT_EQ(answer = server.Recv(&assoc), query);
            answer.push_back(0x42);
            server.Send(answer, assoc);
        }
        EXPECT_EQ(client.Recv(&from), answer);
        EXPECT_TRUE(from == relay);
        EXPECT_EQ(TakeDNS(local ? 2 : 4),
                  local ? (Lines{Record(cli, '<', query), Record(cli, '>', answer)})
                        : (Lines{Record(cli, '<', query), Record(srv, '>', query), Record(srv, '<', answer), Record(cli, '>', answer)}));
    }

    const Bytes q = Query(9, 0x01, "scanner.lan");
    SockAddr assoc;
    port.m_CliTab.ForEach([](auto, auto& cli) {  // the limit to the second, on its own clock
        EXPECT_EQ(cli.SweepReason(cli.TimeLast() + 180000), nullptr);
        EXPECT_STREQ(cli.SweepReason(cli.TimeLast() + 180001), L"deleted because long idle");
    });
    Clock::Advance(std::chrono::seconds(179));
    client.Send(q, relay);  // queries from the client do not keep it alive
    server.Recv();
    port.m_CliTab.DeleteCloseOrOld();
    EXPECT_EQ(port.m_CliTab.Count(), 1u);
    Clock::Advance(std::chrono::seconds(3));
    port.m_CliTab.DeleteCloseOrOld();
    EXPECT_EQ(port.m_CliTab.Count(), 0u);
    client.Send(q, relay);
    server.Recv(&assoc);
    server.Send(Bytes{}, assoc);
    ASSERT_TRUE(log.WaitFor(prefix(2) + "disconnect"));
    client.Send(q, relay);  // until the sweep the client's queries fail, and are still logged
    ASSERT_TRUE(log.WaitFor("CDNSCli::SendToSrv::Send sendto(): 9 - Bad file descriptor"));
    port.m_CliTab.DeleteCloseOrOld();
    client.Send(q, relay);
    server.Recv();
    Udp taken("0.0.0.0");
    CDNSPort other;
    other.Start("127.0.0.2", taken.Port(), 53);
    EXPECT_FALSE(other.IsRunning());
    ASSERT_TRUE(log.WaitSize(8));
    EXPECT_EQ(log.lines, (Lines{prefix(1) + "connect", prefix(1) + "deleted because long idle", prefix(2) + "connect",
                                prefix(2) + "disconnect", "CDNSCli::SendToSrv::Send sendto(): 9 - Bad file descriptor",
                                prefix(2) + "deleted because closed", prefix(3) + "connect",
                                "CDNSPort::Bind(): bind(): 98 - Address already in use"}));
    size_t records = 0;  // every datagram but the empty one, the failed sends included
    EXPECT_TRUE(WaitUntil([&] { return (records += _Modul.m_LogDNS.TakeQueued().size()) == 8; }));
    Clock::Reset();
}
