// The connection table's numbering and sweep with the test clock, and the HTTP Host check.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "tcp/CTCPPort.h"
#include "common/Loopback.h"
#include "util/Clock.h"

using namespace lb;

namespace {
int NextPort() {
    static std::atomic<int> next{18300};
    return next++;
}

std::string Prefix(int port, int id, int clientPort) {
    char text[64];
    std::snprintf(text, sizeof text, "TCPv4 %05d %05d  127.0.0.1:%d ", port, id, clientPort);
    return text;
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
        std::string prefix = Prefix(m_Local, id, LocalPort(c.Fd()));
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

TEST_F(TcpTable, IdleConnectionGoesAfterMoreThan30Seconds) {
    Socket c;
    std::string prefix = Accept(c, 1);
    Clock::Advance(30);
    m_Port.m_CliTab.DeleteCloseOrOld();
    EXPECT_EQ(m_Port.m_CliTab.Count(), 1u);  // the limit is strict
    Clock::Advance(1);
    m_Port.m_CliTab.DeleteCloseOrOld();
    EXPECT_EQ(m_Port.m_CliTab.Count(), 0u);
    EXPECT_EQ(TakeLog(), std::vector<std::string>{prefix + "deleted because long idle"});
    EXPECT_EQ(RecvAll(c.Fd()), "");
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

TEST_F(TcpTable, EndedConnectionStaysUntilItIsIdle) {
    Socket c;
    std::string prefix = Accept(c, 1);
    ASSERT_TRUE(SendAll(c.Fd(), "bye"));
    ASSERT_EQ(RecvN(c.Fd(), 3), "bye");
    c.Close();
    WaitLine(prefix + "disconnect");
    m_Port.m_CliTab.DeleteCloseOrOld();
    EXPECT_EQ(m_Port.m_CliTab.Count(), 1u);
    Clock::Advance(31);
    m_Port.m_CliTab.DeleteCloseOrOld();
    EXPECT_EQ(m_Port.m_CliTab.Count(), 0u);
    auto lines = TakeLog();
    EXPECT_EQ(CountOf(lines, prefix + "deleted because long idle"), 1u);
}

struct HostCase {
    const char* header;
    bool accepted;
};

TEST(TcpHostCheck, OnlyHttp11RequestsMustNameTheHost) {
    const HostCase cases[] = {
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
    std::string prefix = Prefix(m_Local, 1, LocalPort(c.Fd()));
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
