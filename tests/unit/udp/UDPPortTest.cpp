// The UDP relay on loopback: associations per client with their own source port, numbering, the end
// of an association, the sweep with the test clock, echo rules and failing starts.
#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <csignal>
#include <filesystem>

#include "common/Loopback.h"
#include "udp/CUDPPort.h"
#include "thread/BaseThread.h"
#include "udp/KeyIPv6.h"
#include "util/Clock.h"

using namespace lb;

namespace {
std::string Line(const char* tag, int local, int id, const Udp& cli, const char* text) {
    return DBString().Format(L"%s %05d %05d ", tag, local, id).ToStr() + cli.Me().ToLog().ToStr() + text;
}

// A port of one family relaying to a target peer of another, and a way to drive it.
template <typename PortT>
struct Rig {
    PortT port;
    int local;
    Udp target;
    explicit Rig(int targetFamily, int echo = -1)
        : local(FreePort("::", SOCK_DGRAM)), target(LoIP(targetFamily)) {
        TakeLog();
        port.Start(local, target.Port(), LoIP(targetFamily), targetFamily == AF_INET6 ? PortT::IPv6 : PortT::IPv4, echo);
    }
    ~Rig() { Clock::Reset(); }
    SockAddr At(int family) const { return Addr(LoIP(family), local); }
    // Client -> target; the source address the target saw.
    SockAddr Forward(const Udp& cli, const std::string& data) {
        cli.Send(data, At(cli.Me().Family()));
        SockAddr src;
        EXPECT_EQ(target.Text(&src), data);
        return src;
    }
};

std::string Binary(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 3);
    return s;
}

// Byte-identical both ways; the answer comes from the rule's port, whatever the families.
template <typename PortT>
void RoundTrip(int portFamily, int targetFamily, const char* tag) {
    SCOPED_TRACE(tag);
    Rig<PortT> rig(targetFamily);
    Udp cli(LoIP(portFamily));
    SockAddr src = rig.Forward(cli, Binary(32000));
    EXPECT_EQ(src.Family(), targetFamily);
    rig.target.Send(Binary(31999), src);
    SockAddr from;
    EXPECT_EQ(cli.Text(&from), Binary(31999));
    EXPECT_TRUE(from == rig.At(portFamily));
    EXPECT_EQ(TakeLog(), Lines{Line(tag, rig.local, 1, cli, "connect")});
}
}  // namespace

TEST(UDPKeys, KeepEveryAddressAndPortApart) {
    // A negative address (high octet >= 128 in network order) must not swallow the port bits.
    EXPECT_NE(CUDPPort::CreateLong(-1, 0), CUDPPort::CreateLong(-1, 65535));
    EXPECT_NE(CUDPPort::CreateLong(0x10000, 1), CUDPPort::CreateLong(0x10001, 1));
    in6_addr a = in6addr_loopback, b = in6addr_loopback;
    b.s6_addr[0] = 0xFE;  // unsigned comparison: 0xFE sorts after 0x00
    EXPECT_TRUE(KeyIPv6(a, 9) < KeyIPv6(b, 1));
    EXPECT_TRUE(KeyIPv6(a, 1) < KeyIPv6(a, 2));
    EXPECT_FALSE(KeyIPv6(a, 2) < KeyIPv6(a, 2));
}

TEST(UDPPort, RelaysBothWaysInEveryFamilyPairing) {
    RoundTrip<CUDPPort>(AF_INET, AF_INET, "UDPv4");
    RoundTrip<CUDPv6Port>(AF_INET6, AF_INET, "UDPv6");
    RoundTrip<CUDPPort>(AF_INET, AF_INET6, "UDPv4");
}

TEST(UDPPort, ClientsGetWrappingNumbersAndSourcePortsOfTheirOwn) {
    Rig<CUDPPort> rig(AF_INET);
    rig.port.m_CliTab.SetLastID(99998);
    Udp a, b;
    SockAddr sa = rig.Forward(a, "from a"), sb = rig.Forward(b, "from b");
    EXPECT_NE(sa.Port(), sb.Port());
    EXPECT_TRUE(rig.Forward(a, "again a") == sa);
    rig.target.Send("to b", sb);
    EXPECT_EQ(b.Text(), "to b");
    EXPECT_EQ(TakeLog(), (Lines{Line("UDPv4", rig.local, 99999, a, "connect"), Line("UDPv4", rig.local, 1, b, "connect")}));
}

// An empty datagram from the target ends the association; the client's datagrams fail until the
// sweep removes it, and the next one starts a new association.
TEST(UDPPort, EmptyDatagramsAndTheEndOfAnAssociation) {
    Rig<CUDPPort> rig(AF_INET);
    Udp cli;
    cli.Send("", rig.At(AF_INET));  // ignored: no association, nothing at the target
    SockAddr src = rig.Forward(cli, "first");
    rig.target.Send("", src);
    MainLog log;
    ASSERT_TRUE(log.WaitSize(2));
    cli.Send("lost", rig.At(AF_INET));
    ASSERT_TRUE(log.WaitSize(3));
    rig.port.m_CliTab.DeleteCloseOrOld();
    EXPECT_NE(rig.Forward(cli, "second").Port(), src.Port());
    ASSERT_TRUE(log.WaitSize(5));
    EXPECT_EQ(log.lines, (Lines{Line("UDPv4", rig.local, 1, cli, "connect"), Line("UDPv4", rig.local, 1, cli, "disconnect"),
                                "CUDPCli::SendToSrv::Send sendto(): 32 - Broken pipe",
                                Line("UDPv4", rig.local, 1, cli, "deleted because closed"),
                                Line("UDPv4", rig.local, 2, cli, "connect")}));
}

// Only datagrams from the target keep an association; it goes after more than 180 silent seconds.
TEST(UDPPort, SweepDropsAssociationsWhoseTargetIsSilent) {
    Rig<CUDPPort> rig(AF_INET);
    Udp quiet, answered;
    rig.Forward(quiet, "q1");
    SockAddr src = rig.Forward(answered, "a1");
    Clock::Advance(100);
    rig.target.Send("answer", src);
    EXPECT_EQ(answered.Text(), "answer");
    Clock::Advance(79);
    rig.Forward(quiet, "q2");
    rig.port.m_CliTab.DeleteCloseOrOld();
    EXPECT_EQ(rig.port.m_CliTab.Count(), 2u);
    Clock::Advance(2);
    rig.port.m_CliTab.DeleteCloseOrOld();
    EXPECT_EQ(rig.port.m_CliTab.Count(), 1u);
    EXPECT_EQ(TakeLog().back(), Line("UDPv4", rig.local, 1, quiet, "deleted because long idle"));
}

TEST(UDPPort, EchoAnswersEachDatagramWithOneDumpLine) {
    Rig<CUDPPort> rig(AF_INET, 0);
    Udp cli;
    for (std::string d : {std::string("AB"), Binary(40)}) {
        cli.Send(d, rig.At(AF_INET));
        EXPECT_EQ(cli.Text(), d);
    }
    const std::string title = DBString().Format(L"UDPv4 %05d", rig.local).ToStr() + cli.Me().ToLog().ToStr();
    auto log = TakeLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], title + " 41 42");
    EXPECT_EQ(log[1].substr(0, title.size() + 9), title + " 03 0A 11");
    EXPECT_EQ(log[1].substr(log[1].size() - 4), " ...");
    EXPECT_EQ(rig.port.m_CliTab.Count(), 0u);
}

size_t OpenDescriptors() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator()));
}

// Without a target address an association holds nothing and stays, closed, until the sweep. Without
// a thread it is not even kept: every association that started has its socket and its reader, the
// rest hold nothing, and new clients of the rule wait a second before the next try, so a lasting
// shortage writes a line a second at most.
TEST(UDPPort, FailedStartsLeaveNoSocketWithoutItsReader) {
    Udp holder;
    TakeLog();
    CUDPPort busy;
    busy.Start(holder.Port(), 9, "127.0.0.1", CUDPPort::IPv4, -1);
    EXPECT_FALSE(busy.m_Run);
    EXPECT_EQ(TakeLog(), Lines{"CUDPPort::Bind(): bind(): 98 - Address already in use"});
    for (const auto& [target, line] : {std::pair{"", "CUDPv6Cli::Start empty IPv6 target address"},
                                       std::pair{"zz::1", "CUDPv6Cli::Start std::stoi(ServAddrPart[i], 0, 16))"}}) {
        CUDPv6Port port;
        int local = FreePort("::", SOCK_DGRAM);
        port.Start(local, 9, target, CUDPv6Port::IPv6, -1);
        Udp cli("::1");
        cli.Send("x", Addr("::1", local));
        ASSERT_TRUE(WaitUntil([&] { return port.m_CliTab.Count() == 1; }));
        port.m_CliTab.DeleteCloseOrOld();
        MainLog log;
        ASSERT_TRUE(log.WaitSize(4));
        EXPECT_EQ(log.lines, (Lines{line, Line("UDPv6", local, 1, cli, "connect"),
                                    "CUDPv6Cli::SendToSrv::Send sendto(): 9 - Bad file descriptor",
                                    Line("UDPv6", local, 1, cli, "deleted because closed")}));
    }

    // Threads run out: every association that started has its socket and its reader, the rest
    // hold nothing; once threads can be had again the client that failed gets its association.
    Rig<CUDPPort> rig(AF_INET);
    const size_t before = OpenDescriptors();
    BaseThread::s_FailCreate = 1 << 20;  // from now on only idle workers can be had
    std::vector<std::unique_ptr<Udp>> clients;
    for (int i = 0; i < 500 && rig.port.m_CliTab.GetTotals().failed == 0; ++i) {
        clients.push_back(std::make_unique<Udp>());
        clients.back()->Send("x", rig.At(AF_INET));
        ASSERT_TRUE(WaitUntil([&] {
            auto t = rig.port.m_CliTab.GetTotals();
            return t.clients + t.failed == clients.size();
        }));
    }
    BaseThread::s_FailCreate = 0;
    ASSERT_EQ(rig.port.m_CliTab.GetTotals().failed, 1u);
    EXPECT_EQ(OpenDescriptors(), before + clients.size() * 2 - 1);  // each client's own socket too
    for (size_t i = 1; i < clients.size(); ++i) EXPECT_EQ(rig.target.Text(), "x");
    clients.back()->Send("x", rig.At(AF_INET));  // within the same second: not tried
    ASSERT_TRUE(WaitUntil([&] { return rig.port.m_CliTab.GetTotals().refused == 1; }));
    Clock::Advance(1);
    EXPECT_TRUE(rig.Forward(*clients.back(), "again") == rig.Forward(*clients.back(), "again"));
    EXPECT_EQ(rig.port.m_CliTab.Count(), clients.size());
    const std::string connect = Line("UDPv4", rig.local, static_cast<int>(clients.size()) + 1, *clients.back(), "connect");
    MainLog log;
    ASSERT_TRUE(log.WaitFor(connect));
    ASSERT_GE(log.lines.size(), 2u);
    EXPECT_EQ(log.lines.back(), connect);
    EXPECT_EQ(log.lines[log.lines.size() - 2].rfind("std::system_error CUDPCli::WinSockProc", 0), 0u)
        << log.lines[log.lines.size() - 2];
}

// At the bound a new client takes the place of the association whose target was silent longest.
TEST(UDPPort, FullTableMakesRoomByTheQuietestAssociation) {
    Rig<CUDPPort> rig(AF_INET);
    rig.port.m_CliTab.SetBound(2);
    Udp a, b, c;
    rig.Forward(a, "a");
    SockAddr srcB = rig.Forward(b, "b");
    Clock::Advance(5);
    rig.target.Send("answer", srcB);
    EXPECT_EQ(b.Text(), "answer");
    rig.Forward(c, "c");
    EXPECT_EQ(rig.port.m_CliTab.Count(), 2u);
    MainLog log;
    ASSERT_TRUE(log.WaitSize(4));
    EXPECT_EQ(log.lines, (Lines{Line("UDPv4", rig.local, 1, a, "connect"), Line("UDPv4", rig.local, 2, b, "connect"),
                                Line("UDPv4", rig.local, 1, a, "deleted because table full"),
                                Line("UDPv4", rig.local, 3, c, "connect")}));
}

// One thread per association, not per datagram; signals interrupting the blocked receives are not
// errors; a stop ends every association without a line.
TEST(UDPPort, ManyClientsSignalsThenStop) {
    struct sigaction sa {}, old{};
    sa.sa_handler = [](int) {};  // no SA_RESTART: blocked receives return EINTR
    sigaction(SIGUSR1, &sa, &old);
    constexpr int kClients = 50, kRounds = 5;
    Rig<CUDPPort> rig(AF_INET);
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        for (SockAddr from; !stop;)
            if (Bytes d = rig.target.Recv(&from); !d.empty()) rig.target.Send(d, from);
    });
    std::vector<std::unique_ptr<Udp>> peers;
    for (int i = 0; i < kClients; ++i) peers.push_back(std::make_unique<Udp>());
    int relayed = 0;
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kClients; ++i) peers[i]->Send("r" + std::to_string(round) + "c" + std::to_string(i), rig.At(AF_INET));
        for (int i = 0; i < kClients; ++i) relayed += peers[i]->Text() == "r" + std::to_string(round) + "c" + std::to_string(i);
        for (auto& e : std::filesystem::directory_iterator("/proc/self/task"))
            if (int tid = std::stoi(e.path().filename().string()); tid != gettid()) syscall(SYS_tgkill, getpid(), tid, SIGUSR1);
    }
    EXPECT_EQ(relayed, kClients * kRounds);
    EXPECT_EQ(rig.port.m_CliTab.Count(), static_cast<size_t>(kClients));
    EXPECT_LE(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}), kClients + 8);
    rig.port.Stop();
    EXPECT_EQ(rig.port.m_CliTab.Count(), 0u);
    EXPECT_FALSE(rig.port.m_Socket.IsOpen());
    EXPECT_EQ(TakeLog().size(), static_cast<size_t>(kClients));  // the connect lines only
    stop = true;
    ::shutdown(rig.target.s.Fd(), SHUT_RDWR);
    echo.join();
    sigaction(SIGUSR1, &old, nullptr);
}
