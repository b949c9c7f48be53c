// The relay with real datagrams on loopback: a client on 127.0.0.1, a fake server on 127.0.0.2:5353,
// the relay on port 53 (the program runs in a private namespace), and its main and DNS log lines.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <cctype>
#include <string>
#include <vector>

#include "common/Loopback.h"
#include "daemon/VEXAProxy.h"
#include "dns/CDNSPort.h"
#include "util/Clock.h"

using namespace lb;

namespace {
const std::string kLongName = [] {
    std::string n = "aaaaaaaaa";  // ten labels of nine letters: a question image but no answer image
    for (int i = 1; i < 10; ++i) n += ".aaaaaaaaa";
    return n;
}();

Bytes Query(uint16_t id, unsigned char flags, const std::string& name, bool edns = false) {
    Bytes q = {static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id), flags, 0x20, 0, 1, 0, 0, 0, 0, 0,
               static_cast<unsigned char>(edns ? 1 : 0)};
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

// The DNS log's record lines, gathered across calls.
struct DNSLog {
    struct Record {
        std::string peer;  // "127.000.000.001:00053"
        char dir;          // '<' received, '>' sent
        Bytes data;
    };
    Lines lines;
    // The next lines are these records of association 1, in this order.
    void Expect(const std::vector<Record>& records) {
        size_t at = lines.size();
        ASSERT_TRUE(WaitUntil([&] {
            for (auto& l : _Modul.m_LogDNS.TakeQueued()) lines.push_back(l);
            return lines.size() >= at + records.size();
        }));
        for (const auto& r : records) {
            std::string hex;
            for (unsigned char c : r.data) hex += DBString().Format(L"%02X ", c).ToStr();
            // "00001 peer ", the time framed by the direction, the bytes; '0' in stamp is any digit
            const std::string head = "00001 " + r.peer + (r.dir == '>' ? " >" : "  ");
            const std::string tail = (r.dir == '>' ? " " : "<") + hex, stamp = "00.00.0000 00:00.00";
            const std::string& l = lines[at++];
            bool ok = l.size() == head.size() + stamp.size() + tail.size() && l.rfind(head, 0) == 0 &&
                      l.compare(head.size() + stamp.size(), std::string::npos, tail) == 0;
            for (size_t i = 0; ok && i < stamp.size(); ++i) {
                const char c = l[head.size() + i];
                ok = stamp[i] == '0' ? std::isdigit(static_cast<unsigned char>(c)) != 0 : c == stamp[i];
            }
            EXPECT_TRUE(ok) << l;
        }
    }
};

class DNSRelay : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A name of this process's own: the other tests of this program run at the same time.
        const std::string path = "/tmp/vexaproxy-dns-unit-" + std::to_string(getpid()) + ".xml";
        std::ofstream(path) << "<VEXAProxy DNSSrv=\"127.0.0.2\"><DNS Name=\"printer.lan\" IP=\"192.168.0.50\"/>"
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
    void TearDown() override {
        m_Port.Stop();
        Clock::Reset();
    }
    std::string Prefix(int id, const Udp& cli) const {
        char t[80];
        snprintf(t, sizeof t, "DNS%05d %05d  127.0.0.1:%d ", m_Local, id, cli.Port());
        return t;
    }
    // Ports from the kernel, not 53: other test programs run at the same time.
    const int m_Local = FreePort("::", SOCK_DGRAM);
    const SockAddr m_Relay = Addr("127.0.0.1", m_Local);
    Udp m_Server{"127.0.0.2"};
    Udp m_Client;
    CDNSPort m_Port;
    MainLog m_Main;
    DNSLog m_DNS;
};
}  // namespace

// Only a full query with RD set, whose question matches a name with an answer image in any letter
// case, with nothing after it but one OPT record, is answered here; the answer echoes the question as
// asked, without the OPT record. Everything else reaches the server byte for byte, and every datagram
// is in the DNS log.
TEST_F(DNSRelay, AnswersOnlyNamesWithAnImageAndForwardsTheRestUnchanged) {
    const Bytes plain = Query(7, 0x01, "printer.lan"), edns = Query(8, 0x01, "printer.lan", true);
    const struct {
        const char* what;
        Bytes query;
        bool local;
    } cases[] = {
        {"configured name", Query(0xBEEF, 0x01, "printer.lan"), true},
        {"RD clear", Query(1, 0x00, "printer.lan"), false},
        {"EDNS record", edns, true},
        {"other letter case", Query(3, 0x01, "PRINTER.Lan", true), true},
        {"unknown name", Query(4, 0x01, "scanner.lan"), false},
        {"name without answer image", Query(5, 0x01, kLongName), false},
        {"answer count 1", Patch(plain, 7, {1}), false},
        {"authority count 1", Patch(plain, 9, {1}), false},
        {"question cut short", Bytes(plain.begin(), plain.end() - 1), false},
        {"additional count 2", Patch(plain, 11, {2}), false},
        {"OPT record not last", Patch(edns, -2, {0, 0, 0}), false},
        {"OPT data beyond the datagram", Patch(edns, -2, {0, 1}), false},
        {"OPT owner not the root", Patch(edns, -11, {1}), false},
        {"other additional record", Patch(edns, -10, {0, 1}), false},
        {"short datagram", Bytes{0x00, 0x06, 0x01, 0x00, 0x00}, false},
        {"eleven bytes with RD", Bytes(11, 0x01), false},
        {"512 bytes, logged whole", Bytes(512, 0x01), false},
    };
    const std::string cli = DBString().Format(L"127.000.000.001:%05d", m_Client.Port()).ToStr();
    const std::string srv = DBString().Format(L"127.000.000.002:%05d", m_Server.Port()).ToStr();
    for (const auto& [what, query, local] : cases) {
        SCOPED_TRACE(what);
        m_Client.Send(query, m_Relay);
        SockAddr assoc, from;
        if (local) {
            Bytes answer(query.begin(), query.end() - (query[11] ? 11 : 0));
            answer[2] = 0x80, answer[7] = 1, answer[11] = 0;  // QR set, RD cleared, one answer record, no OPT
            answer.insert(answer.end(), {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x2B, 0xDB, 0, 4, 192, 168, 0, 50});
            EXPECT_EQ(m_Client.Recv(&from), answer);
            EXPECT_EQ(from.Port(), m_Local);
            m_DNS.Expect({{cli, '<', query}, {cli, '>', answer}});
            continue;
        }
        Bytes reply = m_Server.Recv(&assoc);
        EXPECT_EQ(reply, query);
        reply.push_back(0x42);
        m_Server.Send(reply, assoc);
        EXPECT_EQ(m_Client.Recv(&from), reply);
        EXPECT_EQ(from.Port(), m_Local);
        m_DNS.Expect({{cli, '<', query}, {srv, '>', query}, {srv, '<', reply}, {cli, '>', reply}});
    }
    EXPECT_EQ(m_Main.Take().lines, Lines{Prefix(1, m_Client) + "connect"});  // one association throughout
}

// Numbers wrap after 99999; an association goes after 180 s without a datagram from the server, or
// at the first sweep after the server side ended it with an empty datagram.
TEST_F(DNSRelay, NumbersSweepAndTheEndOfAnAssociation) {
    m_Port.CliTab().SetLastID(99998);
    Udp second;
    const Bytes q = Query(9, 0x01, "scanner.lan");
    for (const Udp* c : {&m_Client, &second}) {
        c->Send(q, m_Relay);
        m_Server.Recv();  // never answered
    }
    Clock::Advance(179);
    m_Port.CliTab().DeleteCloseOrOld();
    EXPECT_EQ(m_Port.CliTab().Count(), 2u);
    m_Client.Send(q, m_Relay);  // queries from the client do not keep it alive
    m_Server.Recv();
    Clock::Advance(2);
    m_Port.CliTab().DeleteCloseOrOld();
    EXPECT_EQ(m_Port.CliTab().Count(), 0u);
    Lines& lines = m_Main.Take().lines;
    ASSERT_EQ(lines.size(), 4u);
    std::sort(lines.begin() + 2, lines.end());  // the sweep goes in table order
    EXPECT_EQ(lines, (Lines{Prefix(99999, m_Client) + "connect", Prefix(1, second) + "connect",
                            Prefix(1, second) + "deleted because long idle",
                            Prefix(99999, m_Client) + "deleted because long idle"}));

    m_Client.Send(q, m_Relay);
    SockAddr assoc;
    m_Server.Recv(&assoc);
    m_Server.Send(Bytes{}, assoc);
    ASSERT_TRUE(m_Main.WaitFor(Prefix(2, m_Client) + "disconnect"));
    m_Client.Send(q, m_Relay);  // until the sweep the client's queries fail, and are still logged
    EXPECT_TRUE(m_Main.WaitFor("CDNSCli::SendToSrv::Send sendto(): 9 - Bad file descriptor"));
    m_Port.CliTab().DeleteCloseOrOld();
    EXPECT_TRUE(m_Main.WaitFor(Prefix(2, m_Client) + "deleted because closed"));
    m_Client.Send(q, m_Relay);
    m_Server.Recv();
    EXPECT_TRUE(m_Main.WaitFor(Prefix(3, m_Client) + "connect"));
    size_t records = 0;  // every datagram but the empty one, the failed sends included
    EXPECT_TRUE(WaitUntil([&] { return (records += _Modul.m_LogDNS.TakeQueued().size()) == 12; }));
}

TEST_F(DNSRelay, PortThatCannotBindStaysStopped) {
    Udp taken("0.0.0.0");
    CDNSPort other;
    other.Start("127.0.0.2", taken.Port(), 53);
    EXPECT_FALSE(other.IsRunning());
    EXPECT_TRUE(m_Main.WaitFor("CDNSPort::Bind(): bind(): 98 - Address already in use"));
}
