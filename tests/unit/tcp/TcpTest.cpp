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
// Every port of this program gets a local port of its own: closed connections leave TIME_WAIT
// entries behind that would make a second bind to the same port fail.
int NextPort() {
    static std::atomic<int> next{18080};
    return next++;
}

std::string Prefix(const char* tag, int port, int id, const std::string& client) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %05d %05d  %s ", tag, port, id, client.c_str());
    return text;
}

class TcpRelay : public ::testing::Test {
protected:
    void SetUp() override { TakeLog(); }
    void TearDown() override { Clock::Reset(); }

    template <class PortT>
    std::unique_ptr<PortT> Open(const std::string& target, int targetPort, typename PortT::typIP typ,
                                const char* host = "", int echo = -1) {
        auto port = std::make_unique<PortT>();
        m_Local = NextPort();
        port->Start(m_Local, targetPort, target.c_str(), host, typ, echo);
        EXPECT_TRUE(port->m_Run);
        return port;
    }
    int m_Local = 0;
};

TEST_F(TcpRelay, RelaysMegabytesUnchangedBothWaysAndLogsConnectAndDisconnect) {
    Server target("127.0.0.1");
    auto port = Open<CTCPPort>("127.0.0.1", target.Port(), CTCPPort::IPv4);
    Socket c = Connect("127.0.0.1", m_Local);
    ASSERT_GE(c.Fd(), 0);
    const std::string prefix = Prefix("TCPv4", m_Local, 1, "127.0.0.1:" + std::to_string(LocalPort(c.Fd())));

    const std::string data = RandomBytes(6 * 1024 * 1024, 7);
    std::thread writer([&] { EXPECT_TRUE(SendAll(c.Fd(), data)); });
    std::string back = RecvN(c.Fd(), data.size());
    writer.join();
    EXPECT_TRUE(back == data) << "relayed " << back.size() << " of " << data.size() << " bytes";

    ::shutdown(c.Fd(), SHUT_WR);
    EXPECT_EQ(RecvAll(c.Fd()), "");
    auto lines = WaitLines([&](const auto& l) { return CountOf(l, prefix + "disconnect") >= 1; });
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), prefix + "connect");
    EXPECT_GE(CountOf(lines, prefix + "disconnect"), 1u);
    port->Stop();
}

TEST_F(TcpRelay, EchoReturnsEveryPieceWithOneDumpLineAndNeverContactsTheTarget) {
    Server target("127.0.0.1");
    auto port = Open<CTCPPort>("127.0.0.1", target.Port(), CTCPPort::IPv4, "", 0);
    Socket c = Connect("127.0.0.1", m_Local);
    const std::string client = "127.0.0.1:" + std::to_string(LocalPort(c.Fd()));
    for (const std::string piece : {"hello", "again"}) {
        ASSERT_TRUE(SendAll(c.Fd(), piece));
        EXPECT_EQ(RecvN(c.Fd(), piece.size()), piece);
    }
    auto title = "TCPv4 " + std::to_string(m_Local) + " " + client + " ";
    auto lines = WaitLine(title + " 61 67 61 69 6E");
    EXPECT_EQ(CountOf(lines, title + " 68 65 6C 6C 6F"), 1u);
    EXPECT_EQ(CountOf(lines, title + " 61 67 61 69 6E"), 1u);
    EXPECT_EQ(target.Accepted(), 0);
    port->Stop();
}

TEST_F(TcpRelay, RefusedTargetGivesOneConnectLineAndClosesTheClient) {
    auto port = Open<CTCPPort>("127.0.0.1", FreePort("127.0.0.1"), CTCPPort::IPv4);
    Socket c = Connect("127.0.0.1", m_Local);
    ASSERT_TRUE(SendAll(c.Fd(), "GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(RecvAll(c.Fd()), "");
    auto lines = WaitLine("CTCPCli::WinSockCliProc connect(): 111 - Connection refused");
    EXPECT_EQ(CountOf(lines, "CTCPCli::WinSockCliProc connect(): 111 - Connection refused"), 1u);
    EXPECT_EQ(lines.size(), 2u);  // "connect" and the error, nothing else
    port->Stop();
}

TEST_F(TcpRelay, NamedTargetIsResolvedAndEmptyIPv6TargetNeverConnects) {
    Server target("127.0.0.1");
    auto named = Open<CTCPPort>("localhost", target.Port(), CTCPPort::IPv4);
    Socket c = Connect("127.0.0.1", m_Local);
    ASSERT_TRUE(SendAll(c.Fd(), "ping"));
    EXPECT_EQ(RecvN(c.Fd(), 4), "ping");

    // A rule without any address must not reach this host's own services at ::.
    Server local("::");
    auto empty = Open<CTCPPort>("", local.Port(), CTCPPort::IPv6);
    Socket e = Connect("127.0.0.1", m_Local);
    ASSERT_TRUE(SendAll(e.Fd(), "ping"));
    EXPECT_EQ(RecvAll(e.Fd()), "");
    auto lines = WaitLine("CTCPCli::WinSockCliProc empty IPv6 target address");
    EXPECT_EQ(CountOf(lines, "CTCPCli::WinSockCliProc empty IPv6 target address"), 1u);
    EXPECT_EQ(local.Accepted(), 0);
    named->Stop();
    empty->Stop();
}

// Listening family and target family are independent; IPv6 target texts are used as written.
TEST_F(TcpRelay, CrossFamilyTargets) {
    Server v4("127.0.0.1");
    Server v6("::1");
    struct Case {
        bool v6Port;
        const char* target;
        int targetPort;
        bool ipv6Text;
        const char* client;
        const char* shown;
    } cases[] = {
        {true, "127.0.0.1", v4.Port(), false, "::1", "[::1]"},
        {false, "::1", v6.Port(), true, "127.0.0.1", "127.0.0.1"},
        {false, "::ffff:127.0.0.1", v4.Port(), true, "127.0.0.1", "127.0.0.1"},
        {true, "0:0:0:0:0:0:0:1", v6.Port(), true, "127.0.0.1", "[::ffff:127.0.0.1]"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.target);
        TakeLog();  // the previous case's closing lines
        std::unique_ptr<CTCPPort> p4;
        std::unique_ptr<CTCPv6Port> p6;
        if (k.v6Port) p6 = Open<CTCPv6Port>(k.target, k.targetPort, k.ipv6Text ? CTCPv6Port::IPv6 : CTCPv6Port::IPv4);
        else p4 = Open<CTCPPort>(k.target, k.targetPort, k.ipv6Text ? CTCPPort::IPv6 : CTCPPort::IPv4);
        Socket c = Connect(k.client, m_Local);
        ASSERT_GE(c.Fd(), 0);
        const std::string data = RandomBytes(100000, 3);
        ASSERT_TRUE(SendAll(c.Fd(), data));
        EXPECT_TRUE(RecvN(c.Fd(), data.size()) == data);
        auto lines = TakeLog();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), Prefix(k.v6Port ? "TCPv6" : "TCPv4", m_Local, 1,
                                         std::string(k.shown) + ":" + std::to_string(LocalPort(c.Fd()))) +
                                      "connect");
    }
}

TEST_F(TcpRelay, SecondPortOnTheSameLocalPortStaysStopped) {
    CTCPPort first;
    CTCPPort second;
    int local = NextPort();
    first.Start(local, 1, "127.0.0.1", "", CTCPPort::IPv4, -1);
    second.Start(local, 1, "127.0.0.1", "", CTCPPort::IPv4, -1);
    EXPECT_TRUE(first.m_Run);
    EXPECT_FALSE(second.m_Run);
    auto lines = TakeLog();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], " bind( 0.0.0.0:" + std::to_string(local) + " ) error: 98 - Address already in use");
    second.Stop();
    first.Stop();
}

TEST_F(TcpRelay, PortReopensWhileItsClosedConnectionsLinger) {
    Server target("127.0.0.1");
    auto port = Open<CTCPPort>("127.0.0.1", target.Port(), CTCPPort::IPv4);
    {
        Socket c = Connect("127.0.0.1", m_Local);
        ASSERT_TRUE(SendAll(c.Fd(), "x"));
        ASSERT_EQ(RecvN(c.Fd(), 1), "x");
        port->Stop();  // closes the accepted connection first: TIME_WAIT on the local port
    }
    CTCPPort again;
    again.Start(m_Local, target.Port(), "127.0.0.1", "", CTCPPort::IPv4, -1);
    EXPECT_TRUE(again.m_Run);
    again.Stop();
}

TEST_F(TcpRelay, TwoHundredConcurrentConnectionsKeepTheirOwnBytes) {
    Server target("127.0.0.1");
    auto port = Open<CTCPPort>("127.0.0.1", target.Port(), CTCPPort::IPv4);
    constexpr int kClients = 200;
    std::atomic<int> good{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            Socket c = Connect("127.0.0.1", m_Local);
            if (c.Fd() < 0) return;
            const std::string data = RandomBytes(32 * 1024, static_cast<unsigned>(i));
            std::thread writer([&] { SendAll(c.Fd(), data); });
            bool same = RecvN(c.Fd(), data.size()) == data;
            writer.join();
            if (same) ++good;
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(good.load(), kClients);
    EXPECT_EQ(port->m_CliTab.Count(), static_cast<size_t>(kClients));
    port->Stop();
    EXPECT_EQ(port->m_CliTab.Count(), 0u);
}

TEST_F(TcpRelay, StopWithLiveConnectionsEndsEveryRelayAndClosesTheClients) {
    Server target("127.0.0.1");
    auto port = Open<CTCPPort>("127.0.0.1", target.Port(), CTCPPort::IPv4);
    std::vector<Socket> clients;
    for (int i = 0; i < 20; ++i) {
        clients.emplace_back(Connect("127.0.0.1", m_Local));
        // Half of them relaying, half still waiting for their first data.
        if (i % 2 == 0) {
            ASSERT_TRUE(SendAll(clients.back().Fd(), "x"));
            ASSERT_EQ(RecvN(clients.back().Fd(), 1), "x");
        }
    }
    WaitLines([&](const auto& l) { return l.size() >= 20; });
    port->Stop();
    EXPECT_EQ(port->m_CliTab.Count(), 0u);
    for (auto& c : clients) EXPECT_EQ(RecvAll(c.Fd()), "");
    // A stop is not a failure of the connections: nothing more is logged.
    EXPECT_TRUE(TakeLog().empty());
    // The port is closed for good.
    Socket late = Connect("127.0.0.1", m_Local);
    EXPECT_LT(late.Fd(), 0);
}

class TcpTable : public ::testing::Test {
protected:
    void SetUp() override {
        TakeLog();
        m_Local = NextPort();
        m_Port.Start(m_Local, m_Target.Port(), "127.0.0.1", "", CTCPPort::IPv4, -1);
        ASSERT_TRUE(m_Port.m_Run);
    }
    void TearDown() override {
        m_Port.Stop();
        Clock::Reset();
    }
    // A client that has been announced; its prefix.
    std::string Accept(Socket& c, int id) {
        c = Connect("127.0.0.1", m_Local);
        std::string prefix = Prefix("TCPv4", m_Local, id, "127.0.0.1:" + std::to_string(LocalPort(c.Fd())));
        WaitLine(prefix + "connect");
        return prefix;
    }
    Server m_Target{"127.0.0.1"};
    CTCPPort m_Port;
    int m_Local = 0;
};

TEST_F(TcpTable, NumbersWrapAfter99999) {
    m_Port.m_CliTab.m_LastID = 99998;
    Socket a, b;
    Accept(a, 99999);
    Accept(b, 1);
    EXPECT_EQ(m_Port.m_CliTab.Count(), 2u);
}

// An ended connection stays until it is idle too; the limit is strict.
TEST_F(TcpTable, IdleAndEndedConnectionsGoAfterMoreThan30Seconds) {
    Socket idle, ended;
    std::string idlePrefix = Accept(idle, 1), endedPrefix = Accept(ended, 2);
    ASSERT_TRUE(SendAll(ended.Fd(), "bye"));
    ASSERT_EQ(RecvN(ended.Fd(), 3), "bye");
    ended.Close();
    WaitLine(endedPrefix + "disconnect");
    Clock::Advance(30);
    m_Port.m_CliTab.DeleteCloseOrOld();
    EXPECT_EQ(m_Port.m_CliTab.Count(), 2u);
    Clock::Advance(1);
    m_Port.m_CliTab.DeleteCloseOrOld();
    EXPECT_EQ(m_Port.m_CliTab.Count(), 0u);
    auto lines = TakeLog();
    EXPECT_EQ(CountOf(lines, idlePrefix + "deleted because long idle"), 1u);
    EXPECT_EQ(CountOf(lines, endedPrefix + "deleted because long idle"), 1u);
    EXPECT_EQ(RecvAll(idle.Fd()), "");
}

TEST_F(TcpTable, BusyConnectionGoesAfterMoreThan60Seconds) {
    Socket c;
    std::string prefix = Accept(c, 1);
    for (int step = 0; step < 3; ++step) {
        Clock::Advance(20);
        ASSERT_TRUE(SendAll(c.Fd(), "tick"));
        ASSERT_EQ(RecvN(c.Fd(), 4), "tick");
        m_Port.m_CliTab.DeleteCloseOrOld();
        EXPECT_EQ(m_Port.m_CliTab.Count(), 1u);
    }
    Clock::Advance(1);
    m_Port.m_CliTab.DeleteCloseOrOld();
    EXPECT_EQ(m_Port.m_CliTab.Count(), 0u);
    EXPECT_EQ(TakeLog(), std::vector<std::string>{prefix + "deleted because long open"});
}

TEST(TcpHostCheck, OnlyHttp11RequestsMustNameTheHost) {
    const struct {
        const char* header;
        bool accepted;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: portal", true},
        {"GET / HTTP/1.1\r\nUser-Agent: x\r\nHost: portal:8080", true},
        {"GET / HTTP/1.1\r\nHost: Portal", false},
        {"GET / HTTP/1.1\r\nhost: portal", false},
        {"GET / HTTP/1.1\r\nHost:  portal", false},
        {"GET / HTTP/1.1\r\nHost: portal.example", false},
        {"GET / HTTP/1.1\r\nAccept: */*", false},
        {"GET / HTTP/1.1", false},
        {"GET / HTTP/1.0\r\nHost: other", true},
        {"GET /", true},
        {"", true},
        {"\x16\x03\x01 binary", true},
    };
    for (const auto& k : cases) EXPECT_EQ(CTCPCli::IsHostAccepted(k.header, "portal"), k.accepted) << k.header;
}

class TcpHost : public ::testing::Test {
protected:
    void SetUp() override {
        TakeLog();
        m_Local = NextPort();
        m_Port.Start(m_Local, m_Target.Port(), "127.0.0.1", "portal", CTCPPort::IPv4, -1);
    }
    void TearDown() override { m_Port.Stop(); }
    Server m_Target{"127.0.0.1", [](int fd) {
                        // Answers every request with a fixed body and closes.
                        std::string got;
                        while (got.find("\r\n\r\n") == std::string::npos) {
                            std::string more = RecvN(fd, 1);
                            if (more.empty()) return;
                            got += more;
                        }
                        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
                        ::shutdown(fd, SHUT_WR);
                    }};
    CTCPPort m_Port;
    int m_Local = 0;
};

TEST_F(TcpHost, WrongHostIsClosedWithoutAnswerAndTwoLines) {
    Socket c = Connect("127.0.0.1", m_Local);
    std::string prefix = Prefix("TCPv4", m_Local, 1, "127.0.0.1:" + std::to_string(LocalPort(c.Fd())));
    ASSERT_TRUE(SendAll(c.Fd(), "GET / HTTP/1.1\r\nHost: Portal\r\nX: 1\r\n\r\nbody"));
    EXPECT_EQ(RecvAll(c.Fd()), "");
    auto lines = WaitLines([](const auto& l) { return l.size() >= 3; });
    EXPECT_EQ(lines, (std::vector<std::string>{prefix + "connect", prefix + "Invalid or missing host:",
                                               prefix + "GET / HTTP/1.1\\r\\nHost: Portal\\r\\nX: 1"}));
    EXPECT_EQ(m_Target.Accepted(), 0);
}

TEST_F(TcpHost, RightHostAndHttp10PassThrough) {
    for (const char* request : {"GET / HTTP/1.1\r\nHost: portal:8080\r\n\r\n", "GET / HTTP/1.0\r\nHost: x\r\n\r\n"}) {
        Socket c = Connect("127.0.0.1", m_Local);
        ASSERT_TRUE(SendAll(c.Fd(), request));
        std::string answer = RecvAll(c.Fd());
        EXPECT_NE(answer.find("\r\n\r\nok"), std::string::npos) << request;
    }
}

}  // namespace
