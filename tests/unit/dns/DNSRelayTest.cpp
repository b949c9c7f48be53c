// The relay with real datagrams on loopback: a client socket on 127.0.0.1, a fake upstream server on
// 127.0.0.2:5353, the relay on port 53 (the test program runs in a private network namespace).
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/Loopback.h"
#include "daemon/VEXAProxy.h"
#include "dns/CDNSPort.h"
#include "util/Clock.h"

namespace {
using namespace lb;

const std::string kLongName = [] {
    std::string n = "aaaaaaaaa";  // ten labels of nine letters: a question image but no answer image
    for (int i = 1; i < 10; ++i) n += ".aaaaaaaaa";
    return n;
}();

Bytes Query(uint16_t id, unsigned char flags, const std::string& name, bool edns = false) {
    Bytes q = {static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id), flags, 0x20, 0, 1, 0, 0, 0, 0,
               0, static_cast<unsigned char>(edns ? 1 : 0)};
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        q.push_back(static_cast<unsigned char>(dot - start));
        q.insert(q.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
        start = dot + 1;
    }
    q.insert(q.end(), {0, 0, 1, 0, 1});
    if (edns) q.insert(q.end(), {0, 0, 0x29, 0x10, 0, 0, 0, 0, 0, 0, 0});
    return q;
}

// The relay holds port 53 on every address, so the fake server listens elsewhere.
constexpr int kUpstreamPort = 5353;

const SockAddr kRelay = Addr("127.0.0.1", 53);

// The names the relay answers itself in these tests.
void LoadTestConfig() {
        const char* path = "/tmp/vexaproxy-dns-unit.xml";
        std::ofstream(path) << "<?xml version=\"1.0\"?>\n<VEXAProxy DNSSrv=\"127.0.0.2\">\n"
                            << "  <DNS Name=\"printer.lan\" IP=\"192.168.0.50\" Note=\"office\"/>\n"
                            << "  <DNS Name=\"" << kLongName << "\" IP=\"10.0.0.1\"/>\n"
                            << "  <DNS Name=\"printer.lan\" IP=\"10.9.9.9\"/>\n"
                            << "</VEXAProxy>\n";
        _Modul.m_Cfg.XMLLoadFile(path);
        std::remove(path);
}

class DNSRelay : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadTestConfig(); }

    void SetUp() override {
        Clock::Reset();
        _Modul.m_Log.TakeQueued();
        _Modul.m_LogDNS.TakeQueued();
        m_Port.Start("127.0.0.2", 53, kUpstreamPort);
        ASSERT_TRUE(m_Port.IsRunning());
    }
    void TearDown() override {
        m_Port.Stop();
        Clock::Reset();
    }

    std::string Connect(int id, const Udp& cli) {
        char t[80];
        snprintf(t, sizeof t, "DNS00053 %05d  127.0.0.1:%d connect", id, cli.Port());
        return t;
    }

    Udp m_Upstream{"127.0.0.2", kUpstreamPort};
    Udp m_Client{"127.0.0.1"};
    CDNSPort m_Port;
    MainLog m_Main;
    DNSLog m_DNS;
};
}  // namespace

TEST_F(DNSRelay, ConfiguredNameIsAnsweredLocally) {
    Bytes q = Query(0xBEEF, 0x01, "printer.lan");
    m_Client.Send(q, kRelay);
    SockAddr from;
    Bytes a = m_Client.Recv(&from);
    ASSERT_EQ(q.size() + 16, a.size());
    EXPECT_EQ(53, from.Port());
    EXPECT_EQ((Bytes{0xBE, 0xEF, 0x80, 0x20, 0, 1, 0, 1, 0, 0, 0, 0}), Bytes(a.begin(), a.begin() + 12));
    EXPECT_TRUE(std::equal(q.begin() + 12, q.end(), a.begin() + 12));  // the question, unchanged
    EXPECT_EQ((Bytes{0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x2B, 0xDB, 0, 4, 192, 168, 0, 50}),
              Bytes(a.end() - 16, a.end()));
    bool got = true;
    m_Upstream.Recv(nullptr, &got, MSG_DONTWAIT);
    EXPECT_FALSE(got) << "a local answer must not reach the server";

    EXPECT_TRUE(m_Main.Has(Connect(1, m_Client)));
    ASSERT_EQ(2u, m_DNS.WaitCount(2));
    EXPECT_TRUE(m_DNS.Has(1, "127.000.000.001", m_Client.Port(), '<', q, 0));
    EXPECT_TRUE(m_DNS.Has(1, "127.000.000.001", m_Client.Port(), '>', a, 1));
}

TEST_F(DNSRelay, OtherQueriesGoToTheServerAndTheAnswerComesBack) {
    struct Case {
        const char* what;
        Bytes query;
    } cases[] = {
        {"RD clear", Query(1, 0x00, "printer.lan")},
        {"EDNS record", Query(2, 0x01, "printer.lan", true)},
        {"other letter case", Query(3, 0x01, "Printer.lan")},
        {"unknown name", Query(4, 0x01, "scanner.lan")},
        {"name without answer image", Query(5, 0x01, kLongName)},
        {"short datagram", Bytes{0x00, 0x06, 0x01, 0x00, 0x00}},
        {"eleven bytes with RD", Bytes(11, 0x01)},
    };
    size_t logged = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_Client.Send(c.query, kRelay);
        SockAddr assoc;
        Bytes fwd = m_Upstream.Recv(&assoc);
        EXPECT_EQ(c.query, fwd);
        EXPECT_NE(53, assoc.Port());
        Bytes reply = fwd;
        reply.push_back(0x42);
        m_Upstream.Send(reply, assoc);
        SockAddr from;
        EXPECT_EQ(reply, m_Client.Recv(&from));
        EXPECT_EQ(53, from.Port());

        logged += 4;
        ASSERT_EQ(logged, m_DNS.WaitCount(logged));
        int cli = m_Client.Port();
        int at = static_cast<int>(logged) - 4;  // in the order the datagrams travelled
        EXPECT_TRUE(m_DNS.Has(1, "127.000.000.001", cli, '<', c.query, at));
        EXPECT_TRUE(m_DNS.Has(1, "127.000.000.002", kUpstreamPort, '>', c.query, at + 1));
        EXPECT_TRUE(m_DNS.Has(1, "127.000.000.002", kUpstreamPort, '<', reply, at + 2));
        EXPECT_TRUE(m_DNS.Has(1, "127.000.000.001", cli, '>', reply, at + 3));
    }
    m_Main.Take();
    EXPECT_EQ(std::vector<std::string>{Connect(1, m_Client)}, m_Main.lines);  // one association throughout
}

TEST_F(DNSRelay, SweepRemovesSilentAndEndedAssociations) {
    Bytes q = Query(9, 0x01, "scanner.lan");
    m_Client.Send(q, kRelay);
    m_Upstream.Recv();  // never answered
    CDNSCliTab& tab = m_Port.CliTab();
    Clock::Advance(179);
    tab.DeleteCloseOrOld();
    EXPECT_EQ(1u, tab.Size());
    m_Client.Send(q, kRelay);  // queries from the client do not keep it alive
    m_Upstream.Recv();
    Clock::Advance(2);
    tab.DeleteCloseOrOld();
    EXPECT_EQ(0u, tab.Size());
    EXPECT_TRUE(m_Main.Has("DNS00053 00001  127.0.0.1:" + std::to_string(m_Client.Port()) +
                           " deleted because long idle"));

    // An empty datagram from the server side ends the next association; until the sweep its
    // client's queries fail to go out, and are still logged.
    m_Client.Send(q, kRelay);
    SockAddr assoc;
    m_Upstream.Recv(&assoc);
    m_Upstream.Send(Bytes{}, assoc);
    std::string prefix = "DNS00053 00002  127.0.0.1:" + std::to_string(m_Client.Port()) + " ";
    ASSERT_TRUE(m_Main.WaitFor(prefix + "disconnect"));
    m_Client.Send(q, kRelay);
    EXPECT_TRUE(m_Main.WaitFor("CDNSCli::SendToSrv::Send sendto(): 9 - Bad file descriptor"));
    tab.DeleteCloseOrOld();
    EXPECT_TRUE(m_Main.Has(prefix + "deleted because closed"));
    EXPECT_EQ(0u, tab.Size());
    m_Client.Send(q, kRelay);
    m_Upstream.Recv();
    EXPECT_TRUE(m_Main.Has(Connect(3, m_Client)));

    m_Port.Stop();  // stopping a running association writes nothing
    m_Main.Take();
    EXPECT_EQ(prefix.substr(0, 9) + "00003", m_Main.lines.back().substr(0, 14));
}

TEST_F(DNSRelay, NumbersWrapAfter99999) {
    m_Port.CliTab().SetLastID(99998);
    Udp second("127.0.0.1");
    m_Client.Send(Query(1, 0x01, "printer.lan"), kRelay);
    m_Client.Recv();
    second.Send(Query(1, 0x01, "printer.lan"), kRelay);
    second.Recv();
    EXPECT_TRUE(m_Main.Has(Connect(99999, m_Client)));
    EXPECT_TRUE(m_Main.Has(Connect(1, second)));
}

TEST_F(DNSRelay, PortThatCannotBindStaysStopped) {
    Udp taken("0.0.0.0", 54);
    CDNSPort other;
    other.Start("127.0.0.2", 54, 53);
    EXPECT_FALSE(other.IsRunning());
    EXPECT_TRUE(m_Main.Has("CDNSPort::Bind(): bind(): 98 - Address already in use"));
    other.Stop();
}

TEST(DNSRelayServer, UnresolvableServerLogsEveryNewClientAndStaysUp) {
    LoadTestConfig();
    _Modul.m_Log.TakeQueued();
    _Modul.m_LogDNS.TakeQueued();
    CDNSPort port;
    port.Start("relay-test.invalid", 53, 53);
    ASSERT_TRUE(port.IsRunning());
    Udp client("127.0.0.1");
    Bytes q = Query(7, 0x00, "printer.lan");
    client.Send(q, kRelay);
    MainLog main;
    ASSERT_TRUE(main.WaitFor("CDNSCli::SendToSrv::Send sendto(): 9 - Bad file descriptor"));
    ASSERT_GE(main.lines.size(), 2u);
    EXPECT_EQ(0u, main.lines[0].find("CDNSCli::Start getaddrinfo(): ")) << main.lines[0];
    EXPECT_EQ("DNS00053 00001  127.0.0.1:" + std::to_string(client.Port()) + " connect", main.lines[1]);
    DNSLog dns;
    ASSERT_EQ(2u, dns.WaitCount(2));
    EXPECT_TRUE(dns.Has(1, "127.000.000.001", client.Port(), '<', q));
    EXPECT_TRUE(dns.Has(1, "000.000.000.000", 0, '>', q));
    // Local answers still work.
    client.Send(Query(8, 0x01, "printer.lan"), kRelay);
    EXPECT_EQ(q.size() + 16, client.Recv().size());
    port.Stop();
}

// Many clients at once, local and forwarded queries mixed: every query gets its answer.
TEST_F(DNSRelay, ManyClientsAllAnswered) {
    const char* env = std::getenv("VEXA_DNS_QUERIES");
    const int total = env ? std::atoi(env) : 2000;
    const int clients = 100;
    std::atomic<bool> stop{false};
    std::thread upstream([&] {
        while (!stop) {
            SockAddr from;
            bool ok = false;
            Bytes b = m_Upstream.Recv(&from, &ok);
            if (!ok || b.size() < 3) continue;
            b[2] |= 0x80;
            m_Upstream.Send(b, from);
        }
    });
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            Udp cli("127.0.0.1");
            for (int i = c; i < total; i += clients) {
                auto id = static_cast<uint16_t>(i);
                Bytes q = i % 2 ? Query(id, 0x01, "printer.lan") : Query(id, 0x01, "n" + std::to_string(i) + ".lan");
                cli.Send(q, kRelay);
                // A late answer to an earlier query that timed out is skipped, not counted.
                for (;;) {
                    bool ok = false;
                    Bytes a = cli.Recv(nullptr, &ok);
                    if (!ok) break;
                    if (a.size() >= 12 && a[0] == q[0] && a[1] == q[1] && (a[2] & 0x80)) {
                        ++answered;
                        break;
                    }
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    stop = true;
    shutdown(m_Upstream.s.Fd(), SHUT_RDWR);
    upstream.join();
    EXPECT_EQ(total, answered.load());
    EXPECT_EQ(static_cast<size_t>(clients), m_Port.CliTab().Size());
    m_Main.Take();
    for (auto& l : m_Main.lines) if (l.find("connect") == std::string::npos) ADD_FAILURE() << l;
    _Modul.m_LogDNS.TakeQueued();
}
