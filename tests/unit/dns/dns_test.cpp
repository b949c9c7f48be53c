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
        for (size_t i = 29; i < std::min<size_t>(l.size(), 48); ++i) l[i] = std::isdigit(static_cast<unsigned char>(l[i])) ? '0' : l[i];
    return lines;
}

class DNSRelay : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A name of this process's own: the other test programs run at the same time.
        const std::string path = "/tmp/vexaproxy-dns-unit-" + std::to_string(getpid()) + ".xml";
        std::ofstream(path) << "<VEXAProxy DNSSrv=\"127.0.0.2\"><DNS Name=\"printer.zone\" IP=\"192.168.0.50\"/>"
                            << "<DNS Name=\"" << kLongName << "\" IP=\"10.0.0.1\"/></VEXAProxy>";
        _Modul.m_Cfg.XMLLoadFile(path.c_str());
        std::remove(path.c_str());
    }
    void SetUp() override {
        _Modul.m_Log.TakeQueued();
        _Modul.m_LogDNS.TakeQueued();
        m_Port.Start("127.0.0.2", m_Local, m_Server.Port());
        ASSERT_TRUE(m_Port.IsRunning());
    }
    void TearDown() override { Clock::Reset(); }
    std::string Prefix(int id) const {
        return DBString().Format(L"DNS%05d %05d ", m_Local, id).ToStr() + m_Client.Me().ToLog().ToStr();
    }
    const int m_Local = FreePort("::", SOCK_DGRAM);
    const SockAddr m_Relay = Addr("127.0.0.1", m_Local);
    Udp m_Server{"127.0.0.2"};
    Udp m_Client;
    CDNSPort m_Port;
    MainLog m_Main;
};
}  // namespace

// Only a full query with RD set, whose question matches a name with an answer image in any letter
// case, with nothing after it but one OPT record, is answered here; the answer echoes the question as
// asked, without the OPT record. Everything else reaches the server byte for byte, and every datagram
// is in the DNS log.
TEST_F(DNSRelay, AnswersOnlyNamesWithAnImageAndForwardsTheRestUnchanged) {
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
    const std::string cli = DBString().Format(L"127.000.000.001:%05d", m_Client.Port()).ToStr();
    const std::string srv = DBString().Format(L"127.000.000.002:%05d", m_Server.Port()).ToStr();
    for (const auto& [what, query, local] : cases) {
        SCOPED_TRACE(what);
        m_Client.Send(query, m_Relay);
        SockAddr assoc, from;
        Bytes answer(query.begin(), query.end() - (query[11] ? 11 : 0));
        if (local) {
            answer[2] = 0x80, answer[7] = 1, answer[11] = 0;  // QR set, RD cleared, one answer record, no OPT
            answer.insert(answer.end(), {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x2B, 0xDB, 0, 4, 192, 168, 0, 50});
        } else {
            EXPECT_EQ(answer = m_Server.Recv(&assoc), query);
            answer.push_back(0x42);
            m_Server.Send(answer, assoc);
        }
        EXPECT_EQ(m_Client.Recv(&from), answer);
        EXPECT_EQ(from.Port(), m_Local);
        EXPECT_EQ(TakeDNS(local ? 2 : 4), local ? (Lines{Record(cli, '<', query), Record(cli, '>', answer)})
                                                : (Lines{Record(cli, '<', query), Record(srv, '>', query), Record(srv, '<', answer), Record(cli, '>', answer)}));
    }
    EXPECT_EQ(m_Main.Take().lines, Lines{Prefix(1) + "connect"});  // one association throughout
}

// Numbers wrap after 99999; an association goes after 180 s without a datagram from the server, or
// at the first sweep after the server side ended it with an empty datagram. A port that cannot bind
// stays stopped.
TEST_F(DNSRelay, NumbersSweepAndTheEndOfAnAssociation) {
    m_Port.CliTab().SetLastID(99999);
    const Bytes q = Query(9, 0x01, "scanner.lan");
    SockAddr assoc;
    m_Client.Send(q, m_Relay);
    m_Server.Recv();  // never answered
    Clock::Advance(180);
    m_Client.Send(q, m_Relay);  // queries from the client do not keep it alive
    m_Server.Recv();
    m_Port.CliTab().DeleteCloseOrOld();
    EXPECT_EQ(m_Port.CliTab().Count(), 1u);
    Clock::Advance(1);
    m_Port.CliTab().DeleteCloseOrOld();
    EXPECT_EQ(m_Port.CliTab().Count(), 0u);
    m_Client.Send(q, m_Relay);
    m_Server.Recv(&assoc);
    m_Server.Send(Bytes{}, assoc);
    ASSERT_TRUE(m_Main.WaitFor(Prefix(2) + "disconnect"));
    m_Client.Send(q, m_Relay);  // until the sweep the client's queries fail, and are still logged
    ASSERT_TRUE(m_Main.WaitFor("CDNSCli::SendToSrv::Send sendto(): 9 - Bad file descriptor"));
    m_Port.CliTab().DeleteCloseOrOld();
    m_Client.Send(q, m_Relay);
    m_Server.Recv();
    Udp taken("0.0.0.0");
    CDNSPort other;
    other.Start("127.0.0.2", taken.Port(), 53);
    EXPECT_FALSE(other.IsRunning());
    ASSERT_TRUE(m_Main.WaitSize(8));
    EXPECT_EQ(m_Main.lines, (Lines{Prefix(1) + "connect", Prefix(1) + "deleted because long idle", Prefix(2) + "connect",
                                   Prefix(2) + "disconnect", "CDNSCli::SendToSrv::Send sendto(): 9 - Bad file descriptor",
                                   Prefix(2) + "deleted because closed", Prefix(3) + "connect",
                                   "CDNSPort::Bind(): bind(): 98 - Address already in use"}));
    size_t records = 0;  // every datagram but the empty one, the failed sends included
    EXPECT_TRUE(WaitUntil([&] { return (records += _Modul.m_LogDNS.TakeQueued().size()) == 10; }));
}
