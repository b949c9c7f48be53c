// The relay end to end on loopback (ports started in-process, real clients and targets), the
// connection table's numbering and sweep with the test clock, and the HTTP Host check.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/Loopback.h"
#include "tcp/CTCPPort.h"
#include "util/Clock.h"

using namespace lb;

namespace {
std::string Prefix(const char* tag, int port, int id, const std::string& ip, const Socket& c) {
    char text[96];
    std::snprintf(text, sizeof text, "%s %05d %05d  %s:%d ", tag, port, id, ip.c_str(), LocalPort(c.Fd()));
    return text;
}

class TcpRelay : public ::testing::Test {
protected:
    void SetUp() override { TakeLog(); }
    void TearDown() override { Clock::Reset(); }

    // Every port gets a local port of its own from the kernel: other test programs run at the same
    // time, and closed connections leave TIME_WAIT entries behind.
    template <class PortT = CTCPPort>
    std::unique_ptr<PortT> Open(const char* target, int targetPort, typename PortT::typIP typ = PortT::IPv4,
                                const char* host = "", int echo = -1) {
        auto port = std::make_unique<PortT>();
        m_Local = FreePort("::");
        port->Start(m_Local, targetPort, target, host, typ, echo);
        EXPECT_TRUE(port->m_Run);
        return port;
    }
    // A client whose "connect" line has been written; its line prefix.
    std::string Accept(Socket& c, int id) {
        c = Connect("127.0.0.1", m_Local);
        std::string prefix = Prefix("TCPv4", m_Local, id, "127.0.0.1", c);
        EXPECT_TRUE(m_Log.WaitFor(prefix + "connect"));
        return prefix;
    }
    Server m_Target{"127.0.0.1"};
    MainLog m_Log;
    int m_Local = 0;
};
}  // namespace

TEST_F(TcpRelay, RelaysMegabytesUnchangedAndEchoRulesAnswerThemselves) {
    auto port = Open("127.0.0.1", m_Target.Port());
    Socket c = Connect("127.0.0.1", m_Local);
    const std::string prefix = Prefix("TCPv4", m_Local, 1, "127.0.0.1", c);
    const std::string data = RandomBytes(6 * 1024 * 1024, 7);
    std::thread writer([&] { EXPECT_TRUE(SendAll(c.Fd(), data)); });
    EXPECT_TRUE(RecvN(c.Fd(), data.size()) == data);
    writer.join();
    ::shutdown(c.Fd(), SHUT_WR);
    EXPECT_EQ(RecvAll(c.Fd()), "");
    ASSERT_TRUE(m_Log.WaitFor(prefix + "disconnect"));
    EXPECT_EQ(m_Log.lines.front(), prefix + "connect");

    // An echo rule returns every piece with one dump line and never contacts its target.
    auto echo = Open("127.0.0.1", m_Target.Port(), CTCPPort::IPv4, "", 0);
    Socket e = Connect("127.0.0.1", m_Local);
    for (const std::string piece : {"hello", "again"}) {
        ASSERT_TRUE(SendAll(e.Fd(), piece));
        EXPECT_EQ(RecvN(e.Fd(), piece.size()), piece);
    }
    const std::string title = "TCPv4 " + std::to_string(m_Local) + " 127.0.0.1:" + std::to_string(LocalPort(e.Fd())) + "  ";
    ASSERT_TRUE(m_Log.WaitFor(title + "61 67 61 69 6E"));
    EXPECT_EQ(CountOf(m_Log.lines, title + "68 65 6C 6C 6F"), 1u);
    EXPECT_EQ(m_Target.Accepted(), 1);
}

// Listening and target family are independent; IPv6 target texts are used as written. A failing
// target gives one error line and closes the client; a rule without any address must not reach
// this host's own services at ::.
TEST_F(TcpRelay, TargetsOfEitherFamilyResolvedRefusedOrMissing) {
    Server v6("::"), none("::");
    const int refused = FreePort("127.0.0.1");
    const struct {
        bool v6Port;
        const char* target;
        int port;
        bool ipv6Text;
        const char* client;
        const char* shown;
        const char* error;
    } cases[] = {
        {false, "localhost", m_Target.Port(), false, "127.0.0.1", "127.0.0.1", ""},
        {true, "127.0.0.1", m_Target.Port(), false, "::1", "[::1]", ""},
        {false, "::1", v6.Port(), true, "127.0.0.1", "127.0.0.1", ""},
        {false, "::ffff:127.0.0.1", m_Target.Port(), true, "127.0.0.1", "127.0.0.1", ""},
        {true, "0:0:0:0:0:0:0:1", v6.Port(), true, "127.0.0.1", "[::ffff:127.0.0.1]", ""},
        {false, "127.0.0.1", refused, false, "127.0.0.1", "127.0.0.1", "CTCPCli::WinSockCliProc connect(): 111 - Connection refused"},
        {false, "", none.Port(), true, "127.0.0.1", "127.0.0.1", "CTCPCli::WinSockCliProc empty IPv6 target address"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.target);
        std::unique_ptr<CTCPPort> p4;
        std::unique_ptr<CTCPv6Port> p6;
        if (k.v6Port) p6 = Open<CTCPv6Port>(k.target, k.port, k.ipv6Text ? CTCPv6Port::IPv6 : CTCPv6Port::IPv4);
        else p4 = Open(k.target, k.port, k.ipv6Text ? CTCPPort::IPv6 : CTCPPort::IPv4);
        Socket c = Connect(k.client, m_Local);
        const std::string data = *k.error ? "ping" : RandomBytes(100000, 3);
        ASSERT_TRUE(SendAll(c.Fd(), data));
        EXPECT_TRUE((*k.error ? RecvAll(c.Fd()) : RecvN(c.Fd(), data.size())) == (*k.error ? "" : data));
        Lines expected{Prefix(k.v6Port ? "TCPv6" : "TCPv4", m_Local, 1, k.shown, c) + "connect"};
        if (*k.error) expected.push_back(k.error);
        m_Log.lines.clear();
        ASSERT_TRUE(m_Log.WaitSize(expected.size()));
        EXPECT_EQ(Lines(m_Log.lines.begin(), m_Log.lines.begin() + static_cast<long>(expected.size())), expected);
        c.Close();
        if (p4) p4->Stop();
        if (p6) p6->Stop();
        TakeLog();
    }
    EXPECT_EQ(none.Accepted(), 0);
}

TEST_F(TcpRelay, AStoppedPortReopensWhileItsClosedConnectionsLinger) {
    auto port = Open("127.0.0.1", m_Target.Port());
    {
        Socket c = Connect("127.0.0.1", m_Local);
        ASSERT_TRUE(SendAll(c.Fd(), "x"));
        ASSERT_EQ(RecvN(c.Fd(), 1), "x");
        port->Stop();  // closes the accepted connection first: TIME_WAIT on the local port
    }
    CTCPPort again;
    again.Start(m_Local, m_Target.Port(), "127.0.0.1", "", CTCPPort::IPv4, -1);
    EXPECT_TRUE(again.m_Run);
    again.Stop();
}

TEST_F(TcpRelay, BurstOfTwoHundredConnectionsKeepTheirOwnBytes) {
    auto port = Open("127.0.0.1", m_Target.Port());
    constexpr int kClients = 200;
    std::atomic<int> good{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            Socket c = Connect("127.0.0.1", m_Local);
            const std::string data = RandomBytes(32 * 1024, static_cast<unsigned>(i));
            std::thread writer([&] { SendAll(c.Fd(), data); });
            good += RecvN(c.Fd(), data.size()) == data;
            writer.join();
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(good.load(), kClients);
    EXPECT_EQ(port->m_CliTab.Count(), static_cast<size_t>(kClients));
    port->Stop();  // quietly, however many connections it had
    EXPECT_EQ(port->m_CliTab.Count(), 0u);
    for (const auto& l : m_Log.Take().lines) EXPECT_EQ(l.find("error"), std::string::npos) << l;
}

// Numbers wrap after 99999. A connection goes after more than 30 s idle (an ended one stays until
// then) or more than 60 s open, however busy.
TEST_F(TcpRelay, NumbersWrapAndTheSweepLimits) {
    auto port = Open("127.0.0.1", m_Target.Port());
    port->m_CliTab.SetLastID(99998);
    Socket idle, ended, busy;
    const std::string idlePrefix = Accept(idle, 99999), endedPrefix = Accept(ended, 1), busyPrefix = Accept(busy, 2);
    ASSERT_TRUE(SendAll(ended.Fd(), "bye"));
    ASSERT_EQ(RecvN(ended.Fd(), 3), "bye");
    ended.Close();
    ASSERT_TRUE(m_Log.WaitFor(endedPrefix + "disconnect"));
    auto sweep = [&](int seconds, bool tick, size_t left) {
        Clock::Advance(seconds);
        if (tick) {
            ASSERT_TRUE(SendAll(busy.Fd(), "tick"));
            ASSERT_EQ(RecvN(busy.Fd(), 4), "tick");
        }
        port->m_CliTab.DeleteCloseOrOld();
        EXPECT_EQ(port->m_CliTab.Count(), left);
    };
    sweep(20, true, 3);   // t = 20
    sweep(10, false, 3);  // t = 30: not more than 30 s idle
    sweep(1, false, 1);   // t = 31
    sweep(9, true, 1);    // t = 40
    sweep(20, true, 1);   // t = 60: not more than 60 s open
    sweep(1, false, 0);   // t = 61
    m_Log.Take();
    for (const auto& line : {idlePrefix + "deleted because long idle", endedPrefix + "deleted because long idle",
                             busyPrefix + "deleted because long open"})
        EXPECT_EQ(CountOf(m_Log.lines, line), 1u) << line;
    EXPECT_EQ(RecvAll(idle.Fd()), "");
}

// Only HTTP/1.1 requests must name the host, exactly; a refused one is closed without an answer.
TEST_F(TcpRelay, HostCheck) {
    const std::pair<const char*, bool> headers[] = {
        {"GET / HTTP/1.1\r\nHost: portal", true},   {"GET / HTTP/1.1\r\nUser-Agent: x\r\nHost: portal:8080", true},
        {"GET / HTTP/1.1\r\nHost: Portal", false},  {"GET / HTTP/1.1\r\nhost: portal", false},
        {"GET / HTTP/1.1\r\nHost:  portal", false}, {"GET / HTTP/1.1\r\nHost: portal.example", false},
        {"GET / HTTP/1.1\r\nAccept: */*", false},   {"GET / HTTP/1.1", false},
        {"GET / HTTP/1.0\r\nHost: other", true},    {"GET /", true},
        {"", true},                                 {"\x16\x03\x01 binary", true},
    };
    for (const auto& [header, accepted] : headers) EXPECT_EQ(CTCPCli::IsHostAccepted(header, "portal"), accepted) << header;

    auto port = Open("127.0.0.1", m_Target.Port(), CTCPPort::IPv4, "portal");
    Socket c = Connect("127.0.0.1", m_Local);
    const std::string prefix = Prefix("TCPv4", m_Local, 1, "127.0.0.1", c);
    ASSERT_TRUE(SendAll(c.Fd(), "GET / HTTP/1.1\r\nHost: Portal\r\nX: 1\r\n\r\nbody"));
    EXPECT_EQ(RecvAll(c.Fd()), "");
    ASSERT_TRUE(m_Log.WaitSize(3));
    EXPECT_EQ(m_Log.lines, (Lines{prefix + "connect", prefix + "Invalid or missing host:",
                                  prefix + "GET / HTTP/1.1\\r\\nHost: Portal\\r\\nX: 1"}));
    EXPECT_EQ(m_Target.Accepted(), 0);
    for (const std::string request : {"GET / HTTP/1.1\r\nHost: portal:8080\r\n\r\n", "GET / HTTP/1.0\r\nHost: x\r\n\r\n"}) {
        Socket pass = Connect("127.0.0.1", m_Local);
        ASSERT_TRUE(SendAll(pass.Fd(), request));
        EXPECT_EQ(RecvN(pass.Fd(), request.size()), request);
    }
    EXPECT_EQ(m_Target.Accepted(), 2);
}

// At the bound a waiting client takes the place of a connection that never said anything, or of one
// quiet for two seconds or more; one that carried data more recently is kept, and the new client
// waits in the listen backlog meanwhile.
TEST_F(TcpRelay, FullRuleMakesRoomOnlyBySilentOrQuietConnections) {
    auto port = Open("127.0.0.1", m_Target.Port(), CTCPPort::IPv4, "", 0);
    port->m_CliTab.SetBound(1);
    Socket silent, talking, waiting;
    const std::string silentPrefix = Accept(silent, 1);
    const std::string talkingPrefix = Accept(talking, 2);
    ASSERT_TRUE(m_Log.WaitFor(silentPrefix + "deleted because table full"));
    EXPECT_EQ(RecvAll(silent.Fd()), "");
    ASSERT_TRUE(SendAll(talking.Fd(), "hi"));
    ASSERT_EQ(RecvN(talking.Fd(), 2), "hi");
    waiting = Connect("127.0.0.1", m_Local);  // in the backlog: the talking one stays
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(SendAll(talking.Fd(), "still"));
    ASSERT_EQ(RecvN(talking.Fd(), 5), "still");
    EXPECT_EQ(CountOf(m_Log.Take().lines, talkingPrefix + "deleted because table full"), 0u);
    Clock::Advance(2);
    const std::string waitingPrefix = Prefix("TCPv4", m_Local, 3, "127.0.0.1", waiting);
    ASSERT_TRUE(m_Log.WaitFor(waitingPrefix + "connect"));
    EXPECT_EQ(CountOf(m_Log.lines, talkingPrefix + "deleted because table full"), 1u);
    ASSERT_TRUE(SendAll(waiting.Fd(), "next"));
    EXPECT_EQ(RecvN(waiting.Fd(), 4), "next");
}
