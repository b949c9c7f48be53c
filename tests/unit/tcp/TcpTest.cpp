// The relay end to end on loopback (ports started in-process, real clients and targets), the
// connection table's numbering, sweep and bound with the test clock, and the HTTP Host check.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "common/Loopback.h"
#include "tcp/CTCPPort.h"
#include "util/Clock.h"

using namespace lb;

namespace {
std::string Prefix(const char* tag, int port, int id, const char* ip, const Socket& c) {
    return DBString().Format(L"%s %05d %05d  %s:%d ", tag, port, id, ip, LocalPort(c.Fd())).ToStr();
}

class TcpRelay : public ::testing::Test {
protected:
    void SetUp() override { TakeLog(); }
    void TearDown() override { Clock::Reset(); }

    // One local port from the kernel for the test: other test programs run at the same time.
    template <class PortT = CTCPPort>
    std::unique_ptr<PortT> Open(const char* target, int targetPort, int typ = PortT::IPv4, const char* host = "", int echo = -1) {
        auto port = std::make_unique<PortT>();
        if (m_Local == 0) m_Local = FreePort("::");
        port->Start(m_Local, targetPort, target, host, static_cast<typename PortT::typIP>(typ), echo);
        EXPECT_TRUE(port->IsRunning());
        return port;
    }
    // A client whose "connect" line has been written; its line prefix.
    std::string Accept(Socket& c, int id) {
        c = Connect("127.0.0.1", m_Local);
        std::string prefix = Prefix("TCPv4", m_Local, id, "127.0.0.1", c);
        EXPECT_TRUE(m_Log.WaitFor(prefix + "connect"));
        return prefix;
    }
    // Until no side is inside a send: a send that moved data stamps the connection's activity when
    // it returns, which may be after the client has read the bytes.
    template <class PortT>
    static bool SendsDone(PortT& port) {
        return WaitUntil([&] {
            int sending = 0;
            port.m_CliTab.ForEach([&](auto, auto& cli) { sending += cli.m_Sending; });
            return sending == 0;
        });
    }
    Server m_Target{"127.0.0.1"};
    MainLog m_Log;
    int m_Local = 0;
};
}  // namespace

// Listening and target family are independent; IPv6 target texts are used as written. A failing
// target gives one error line and closes the client; a rule without any address must not reach
// this host's own services at ::. Every rule reopens the same local port while the connections its
// predecessor closed linger in TIME_WAIT.
TEST_F(TcpRelay, TargetsOfEitherFamilyResolvedRefusedOrMissing) {
    Server v6("::"), none("::");
    const struct { bool v6Port; const char *target; int port, typ; const char *client, *shown, *error; } cases[] = {
        {false, "localhost", m_Target.Port(), CTCPPort::IPv4, "127.0.0.1", "127.0.0.1", ""},
        {false, "::1", v6.Port(), CTCPPort::IPv6, "127.0.0.1", "127.0.0.1", ""},
        {true, "0:0:0:0:0:0:0:1", v6.Port(), CTCPPort::IPv6, "127.0.0.1", "[::ffff:127.0.0.1]", ""},
        {false, "127.0.0.1", FreePort("127.0.0.1"), CTCPPort::IPv4, "127.0.0.1", "127.0.0.1",
         "CTCPCli::WinSockCliProc connect(): 111 - Connection refused"},
        {false, "", none.Port(), CTCPPort::IPv6, "127.0.0.1", "127.0.0.1", "CTCPCli::WinSockCliProc empty IPv6 target address"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.target);
        std::shared_ptr<void> port =
            k.v6Port ? std::shared_ptr<void>(Open<CTCPv6Port>(k.target, k.port, k.typ)) : Open(k.target, k.port, k.typ);
        Socket c = Connect(k.client, m_Local);
        const std::string data = *k.error ? "ping" : RandomBytes(100000, 3);
        ASSERT_TRUE(SendAll(c.Fd(), data));
        EXPECT_TRUE((*k.error ? RecvAll(c.Fd()) : RecvN(c.Fd(), data.size())) == (*k.error ? "" : data));
        if (&k == cases) {  // quiet for longer than a side that moved bulk data waits to give its pages back
            std::this_thread::sleep_for(std::chrono::milliseconds(1300));
            EXPECT_TRUE(SendAll(c.Fd(), "again") && RecvN(c.Fd(), 5) == "again");
        }
        Lines expected{Prefix(k.v6Port ? "TCPv6" : "TCPv4", m_Local, 1, k.shown, c) + "connect"};
        if (*k.error) expected.push_back(k.error);
        ASSERT_TRUE(m_Log.WaitSize(expected.size()));
        EXPECT_EQ(Lines(m_Log.lines.begin(), m_Log.lines.begin() + static_cast<long>(expected.size())), expected);
        port.reset();  // closes its connections first: TIME_WAIT on the local port
        m_Log.Take().lines.clear();
    }
    EXPECT_EQ(none.Accepted(), 0);
}

// Many clients at once each get their own bytes back (their relays start and stop each other's
// threads in the pool concurrently), spliced inside the kernel or, when no pipe can be had, copied;
// a connection quiet long enough to give its pipe or buffer back moves data again; the rule counts
// every byte once each way; a stop ends them all without a line.
TEST_F(TcpRelay, BurstOfTwoHundredConnectionsKeepTheirOwnBytes) {
    for (bool copy : {false, true}) {
        SCOPED_TRACE(copy ? "copied" : "spliced");
        SplicePipe::s_FailOpen = copy ? 1 << 30 : 0;
        auto port = Open("127.0.0.1", m_Target.Port());
        Socket quiet = Connect("127.0.0.1", m_Local);
        const std::string before = RandomBytes(16 * 1024, 7), after = RandomBytes(16 * 1024, 8);
        EXPECT_TRUE(SendAll(quiet.Fd(), before) && RecvN(quiet.Fd(), before.size()) == before);
        std::this_thread::sleep_for(std::chrono::milliseconds(CTCPCli::kQuietRelease + 200));
        EXPECT_TRUE(SendAll(quiet.Fd(), after) && RecvN(quiet.Fd(), after.size()) == after);
        std::atomic<int> good{0};
        std::vector<std::thread> clients;
        for (unsigned i = 0; i < 200; ++i)
            clients.emplace_back([&, i] {
                Socket c = Connect("127.0.0.1", m_Local);
                const std::string data = RandomBytes(32 * 1024 + 100 * i, i);
                good += SendAll(c.Fd(), data) && RecvN(c.Fd(), data.size()) == data;
            });
        for (auto& t : clients) t.join();
        EXPECT_EQ(good.load(), 200);
        const uint64_t bytes = 200 * 32 * 1024 + 100 * 199 * 200 / 2 + 32 * 1024;
        EXPECT_EQ(port->m_Traffic.in.load(), bytes);
        EXPECT_EQ(port->m_Traffic.out.load(), bytes);
        quiet.Close();
        port->Stop();
        EXPECT_EQ(port->m_CliTab.Count(), 0u);
        EXPECT_EQ(SplicePipe::OpenNow(), 0);  // every pipe given back to the daemon's allowance
        for (const auto& l : m_Log.Take().lines) EXPECT_EQ(l.find("error"), std::string::npos) << l;
    }
    SplicePipe::s_FailOpen = 0;
}

// A client that leaves in the middle of a download ends the relay at once: it stops pulling from a
// target that goes on sending, with at most the one send error the client's reset may cause (the
// target side may find the client gone before the client side has ended: five tries).
TEST_F(TcpRelay, ClientLeavingADownloadEndsTheRelayQuietly) {
    Server stream("127.0.0.1", [](int fd) {
        const std::string piece(64 * 1024, 'd');
        while (net::SendAll(fd, piece.data(), piece.size()) >= 0) {
        }
    });
    auto port = Open("127.0.0.1", stream.Port());
    for (int id = 1; id <= 5; ++id) {
        Socket c = Connect("127.0.0.1", m_Local);
        const std::string prefix = Prefix("TCPv4", m_Local, id, "127.0.0.1", c);
        ASSERT_TRUE(SendAll(c.Fd(), "get"));
        ASSERT_EQ(RecvN(c.Fd(), 1 << 20).size(), 1u << 20);
        c.Close();
        ASSERT_TRUE(WaitUntil([&] { return CountOf(m_Log.Take().lines, prefix + "disconnect") == 2; }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    size_t errors = 0;
    for (const auto& l : m_Log.Take().lines) errors += l.find("error") != std::string::npos;
    EXPECT_LE(errors, 5u);
}

// Numbers wrap after 99999. A connection goes after more than 30 s idle (an ended one stays until
// then) or more than 60 s open, however busy. The sweeps keep a second's distance from the limits,
// which the wall clock's second may cross; the limits themselves are asked on each connection's clock.
TEST_F(TcpRelay, NumbersWrapAndTheSweepLimits) {
    Clock::Freeze();  // one second from a limit must stay one second however slowly the test runs
    auto port = Open("127.0.0.1", m_Target.Port());
    port->m_CliTab.SetLastID(99998);
    Socket idle, ended, busy;
    const std::string idlePrefix = Accept(idle, 99999), endedPrefix = Accept(ended, 1), busyPrefix = Accept(busy, 2);
    ASSERT_TRUE(WaitUntil([&] { return port->m_CliTab.Count() == 3; }));  // "connect" comes before the entry is in
    ASSERT_TRUE(SendAll(ended.Fd(), "bye"));
    ASSERT_EQ(RecvN(ended.Fd(), 3), "bye");
    ended.Close();
    ASSERT_TRUE(m_Log.WaitFor(endedPrefix + "disconnect"));
    ASSERT_TRUE(SendsDone(*port));
    port->m_CliTab.ForEach([](auto, auto& cli) {
        EXPECT_EQ(cli.SweepReason(cli.m_TimeLast + 30000), nullptr);
        EXPECT_STREQ(cli.SweepReason(cli.m_TimeLast + 30001), L"deleted because long idle");
    });
    // Seconds on, whether busy talks first, connections left: t = 20, 29, 32, 50, 59, 62.
    const std::tuple<int, bool, size_t> steps[] = {{20, true, 3}, {9, false, 3}, {3, false, 1},
                                                   {18, true, 1}, {9, true, 1}, {3, false, 0}};
    for (auto [seconds, tick, left] : steps) {
        Clock::Advance(std::chrono::seconds(seconds));
        ASSERT_TRUE(!tick || (SendAll(busy.Fd(), "tick") && RecvN(busy.Fd(), 4) == "tick" && SendsDone(*port)));
        port->m_CliTab.DeleteCloseOrOld();
        EXPECT_EQ(port->m_CliTab.Count(), left);
    }
    m_Log.Take();
    for (const auto& line : {idlePrefix + "deleted because long idle", endedPrefix + "deleted because long idle",
                             busyPrefix + "deleted because long open"})
        EXPECT_EQ(CountOf(m_Log.lines, line), 1u) << line;
    EXPECT_EQ(RecvAll(idle.Fd()), "");
}

// A rule's own limits: with OpenLimit 0 a connection that keeps talking stays for good, one quiet
// for longer than 30 s stays within the rule's IdleLimit and goes past it.
TEST_F(TcpRelay, RuleLimitsWithoutOpenLimit) {
    Clock::Freeze();
    auto port = Open("127.0.0.1", m_Target.Port());
    port->m_OpenLimit = 0;
    port->m_IdleLimit = 90000;
    Socket busy;
    const std::string prefix = Accept(busy, 1);
    ASSERT_TRUE(WaitUntil([&] { return port->m_CliTab.Count() == 1; }));  // "connect" comes before the entry is in
    for (int minute = 1; minute <= 2; ++minute) {  // a sweep that removed it would close it: no echo
        Clock::Advance(std::chrono::seconds(60));
        port->m_CliTab.DeleteCloseOrOld();
        ASSERT_TRUE(SendAll(busy.Fd(), "tick") && RecvN(busy.Fd(), 4) == "tick" && SendsDone(*port)) << minute;
    }
    Clock::Advance(std::chrono::seconds(91));
    port->m_CliTab.DeleteCloseOrOld();
    EXPECT_TRUE(m_Log.WaitFor(prefix + "deleted because long idle"));
}

// Only HTTP/1.1 requests must name the host, exactly; a refused one is closed without an answer and
// logged on one line, its control characters escaped.
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
    ASSERT_TRUE(SendAll(c.Fd(), "GET / HTTP/1.1\r\nHost: Portal\r\nX: 1\x7F\x01\r\n\r\nbody"));
    EXPECT_EQ(RecvAll(c.Fd()), "");
    ASSERT_TRUE(m_Log.WaitSize(3));
    EXPECT_EQ(m_Log.lines, (Lines{prefix + "connect", prefix + "Invalid or missing host:",
                                  prefix + "GET / HTTP/1.1\\r\\nHost: Portal\\r\\nX: 1\\x7F\\x01"}));
    EXPECT_EQ(m_Target.Accepted(), 0);
}

// At the bound a client that talks takes the place of one that never said anything (the oldest
// first) or of one quiet for two seconds or more; a client that has not sent anything either takes
// only the place of a silent one older than the grace, and is turned away otherwise (summed up on a
// line). One that carried data more recently is kept, and a talking client waits for it meanwhile.
// Ages run on the monotonic clock: a step of the wall clock by an hour either way changes nothing.
// An echo rule answers each piece with one dump line and never contacts its target.
TEST_F(TcpRelay, FullRuleMakesRoomByRankAndGrace) {
    // Ages move only with the test's own steps: on a loaded machine the real clock could make the
    // talking clients quiet for two seconds before the newcomer is weighed against them.
    Clock::Freeze();
    CTCPPort::s_DeferSeconds = 0;  // silent clients reach accept() at once
    auto port = Open("127.0.0.1", m_Target.Port(), CTCPPort::IPv4, "", 0);
    port->m_CliTab.SetBound(2);
    const std::string rule = "TCPv4 " + std::to_string(m_Local) + " ";
    Socket c[7];
    std::string prefix[7];
    auto talk = [&](int i, int id) {
        c[i] = Connect("127.0.0.1", m_Local);
        prefix[i] = Prefix("TCPv4", m_Local, id, "127.0.0.1", c[i]);
        ASSERT_TRUE(SendAll(c[i].Fd(), "hi"));
        ASSERT_EQ(RecvN(c[i].Fd(), 2), "hi");
    };
    prefix[0] = Accept(c[0], 1);
    prefix[1] = Accept(c[1], 2);
    Clock::StepWall(std::chrono::hours(1));
    c[2] = Connect("127.0.0.1", m_Local);  // silent, both others younger than the grace: turned away
    EXPECT_EQ(RecvAll(c[2].Fd()), "");
    ASSERT_TRUE(m_Log.WaitFor(rule + "1 clients turned away: no room for them"));
    Clock::StepWall(std::chrono::hours(-2));
    talk(3, 3);  // takes the place of the oldest silent one
    EXPECT_EQ(CountOf(m_Log.Take().lines, prefix[0] + "deleted because table full"), 1u);
    Clock::Advance(std::chrono::milliseconds(CTCPCli::kSilentGrace));
    prefix[4] = Accept(c[4], 4);  // silent, but the other silent one is older than the grace now
    EXPECT_EQ(CountOf(m_Log.lines, prefix[1] + "deleted because table full"), 1u);
    talk(5, 5);  // silent clients go before a talking one quiet for longer
    EXPECT_EQ(CountOf(m_Log.Take().lines, prefix[4] + "deleted because table full"), 1u);
    ASSERT_TRUE(m_Log.WaitFor("TCPv4 " + std::to_string(m_Local) + " 127.0.0.1:" + std::to_string(LocalPort(c[5].Fd())) + "  68 69"));
    // Quiet for exactly two seconds is quiet enough, a millisecond less is not (once the echo's
    // send has returned: a side still sending waits longer).
    ASSERT_TRUE(SendsDone(*port));
    port->m_CliTab.ForEach([](auto, auto& cli) {
        EXPECT_EQ(cli.Rank(cli.m_TimeLast + 1999, false).tier, EvictRank::kKeep);
        EXPECT_EQ(cli.Rank(cli.m_TimeLast + 2000, false).tier, EvictRank::kTwoWay);
    });
    m_Log.Take().lines.clear();
    Clock::Advance(std::chrono::milliseconds(10));
    ASSERT_TRUE(SendAll(c[3].Fd(), "hi") && RecvN(c[3].Fd(), 2) == "hi");
    c[6] = Connect("127.0.0.1", m_Local);  // both talked within the last two seconds
    ASSERT_TRUE(SendAll(c[6].Fd(), "next"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string connect6 = Prefix("TCPv4", m_Local, 6, "127.0.0.1", c[6]) + "connect";
    EXPECT_EQ(CountOf(m_Log.Take().lines, connect6), 0u);
    EXPECT_EQ(port->Waiting(), 1u);
    Clock::Advance(std::chrono::seconds(2));
    ASSERT_TRUE(m_Log.WaitFor(connect6));
    EXPECT_EQ(CountOf(m_Log.lines, prefix[5] + "deleted because table full"), 1u);  // the one quiet longer
    EXPECT_EQ(RecvN(c[6].Fd(), 4), "next");
    const auto totals = port->m_CliTab.GetTotals();
    EXPECT_EQ(std::make_tuple(totals.evicted, totals.refused), std::make_tuple(4u, 1u));
    EXPECT_EQ(m_Target.Accepted(), 0);
    CTCPPort::s_DeferSeconds = 10;
}

// A client reading a long answer slowly is a transfer under way, not a quiet client: a newcomer at
// the bound waits for it, even while TCP shows no progress for seconds (a slow reader's window opens
// again only now and then). Once its data has not moved for 10 s it makes room; its relay, blocked
// in a send when it is stopped, ends without an error line.
TEST_F(TcpRelay, SlowDownloadIsActiveAndItsEvictionWritesNoError) {
    Server download("127.0.0.1", [](int fd) {
        char request[16];
        if (net::Recv(fd, request, sizeof request) <= 0) return;
        const std::string piece(64 * 1024, 'd');
        for (int i = 0; i < 4096 && net::SendAll(fd, piece.data(), piece.size()) >= 0; ++i) {
        }
    });
    auto port = Open("127.0.0.1", download.Port());
    port->m_CliTab.SetBound(1);
    Socket a = Connect("127.0.0.1", m_Local);
    const std::string prefixA = Prefix("TCPv4", m_Local, 1, "127.0.0.1", a);
    ASSERT_TRUE(SendAll(a.Fd(), "get"));
    std::atomic<bool> reading{true};
    std::thread reader([&] {  // about 50 kB/s
        char buf[16 * 1024];
        while (reading && ::recv(a.Fd(), buf, sizeof buf, 0) > 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    });
    auto sending = [&] {
        int n = 0;
        port->m_CliTab.ForEach([&](auto, auto& cli) { n = cli.m_Sending; });
        return n > 0;
    };
    ASSERT_TRUE(WaitUntil(sending));  // the socket buffers are full: the relay waits in a send
    Clock::Advance(std::chrono::seconds(3));
    Socket b = Connect("127.0.0.1", m_Local);
    ASSERT_TRUE(SendAll(b.Fd(), "get"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(CountOf(m_Log.Take().lines, prefixA + "deleted because table full"), 0u);
    EXPECT_EQ(port->Waiting(), 1u);
    reading = false;
    reader.join();
    auto lastActive = [&] {
        int64_t last = 0;
        port->m_CliTab.ForEach([&](auto, auto& cli) { last = cli.m_TimeLast; });
        return last;
    };
    ASSERT_TRUE(WaitUntil([&] {  // what the socket buffers took last is the last activity
        const int64_t before = lastActive();
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        return lastActive() == before;
    }, 8000));
    Clock::Advance(std::chrono::milliseconds(CTCPCli::kSendStall));
    ASSERT_TRUE(m_Log.WaitFor(Prefix("TCPv4", m_Local, 2, "127.0.0.1", b) + "connect"));
    EXPECT_EQ(CountOf(m_Log.lines, prefixA + "deleted because table full"), 1u);
    EXPECT_EQ(RecvN(b.Fd(), 1000), std::string(1000, 'd'));
    for (const auto& l : m_Log.Take().lines) EXPECT_EQ(l.find("error"), std::string::npos) << l;
}
