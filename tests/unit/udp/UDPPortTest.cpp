#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <csignal>
#include <set>
#include <sys/syscall.h>

#include "udp/CUDPPort.h"
#include "udp/KeyIPv6.h"
#include "util/Clock.h"
#include "common/Loopback.h"

using namespace lb;

namespace {

std::string Line(const char* tag, int local, int id, const SockAddr& cli, const char* text) {
    return DBString().Format(L"%s %05d %05d ", tag, local, id).ToStr() + cli.ToLog().ToStr() + text;
}

// A port of family F relaying to a target peer of family T, plus helpers to drive it.
template <typename PortT>
struct Rig {
    PortT port;
    int local;
    Udp target;
    Rig(int portFamily, int targetFamily, int echo = -1) : local(FreePort(portFamily)), target(targetFamily) {
        TakeLog();
        Clock::Reset();
        const char* ip = targetFamily == AF_INET6 ? "::1" : "127.0.0.1";
        port.Start(local, target.Port(), ip, targetFamily == AF_INET6 ? PortT::IPv6 : PortT::IPv4, echo);
    }
    ~Rig() { Clock::Reset(); }
    SockAddr At(int family) { return Loopback(family, local); }
    // Client -> target; returns the source address the target saw.
    SockAddr Forward(Udp& cli, int family, const std::string& data) {
        cli.Send(data, At(family));
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

}  // namespace

TEST(UDPKeys, CreateLongAndKeyIPv6KeepEveryPairApart) {
    // A negative address (high octet >= 128 in network order) must not swallow the port bits.
    EXPECT_NE(CUDPPort::CreateLong(-1, 0), CUDPPort::CreateLong(-1, 65535));
    EXPECT_NE(CUDPPort::CreateLong(0x10000, 1), CUDPPort::CreateLong(0x10001, 1));
    EXPECT_EQ(CUDPPort::CreateLong(-2, 5), (int64_t{-2} << 16) | 5);
    in6_addr a = in6addr_loopback, b = in6addr_loopback;
    b.s6_addr[0] = 0xFE;  // unsigned comparison: 0xFE sorts after 0x00
    EXPECT_TRUE(KeyIPv6(a, 9) < KeyIPv6(b, 1));
    EXPECT_TRUE(KeyIPv6(a, 1) < KeyIPv6(a, 2));
    EXPECT_FALSE(KeyIPv6(a, 2) < KeyIPv6(a, 2));
}

TEST(UDPPort, RelaysBothWaysByteIdenticalFromTheRulePort) {
    Rig<CUDPPort> rig(AF_INET, AF_INET);
    Udp cli(AF_INET);
    std::string big = Binary(32000), reply = Binary(31999);
    SockAddr src = rig.Forward(cli, AF_INET, big);
    rig.target.Send(reply, src);
    SockAddr from;
    EXPECT_EQ(cli.Text(&from), reply);
    EXPECT_TRUE(from == rig.At(AF_INET));
    EXPECT_EQ(TakeLog(), std::vector<std::string>{Line("UDPv4", rig.local, 1, Loopback(AF_INET, cli.Port()), "connect")});
}

TEST(UDPPort, TwoClientsOfOneAddressGetConsecutiveNumbersAndOwnSourcePorts) {
    Rig<CUDPPort> rig(AF_INET, AF_INET);
    {
        std::lock_guard<std::recursive_mutex> lock(rig.port.m_CliTab.m_Mutex);
        rig.port.m_CliTab.m_LastID = 99998;  // numbers wrap from 99999 to 1
    }
    Udp a(AF_INET), b(AF_INET);
    SockAddr sa = rig.Forward(a, AF_INET, "from a");
    SockAddr sb = rig.Forward(b, AF_INET, "from b");
    EXPECT_NE(sa.Port(), sb.Port());
    EXPECT_TRUE(rig.Forward(a, AF_INET, "again a") == sa);
    rig.target.Send("to b", sb);
    EXPECT_EQ(b.Text(), "to b");
    auto log = TakeLog();
    EXPECT_EQ(log, (std::vector<std::string>{Line("UDPv4", rig.local, 99999, Loopback(AF_INET, a.Port()), "connect"),
                                             Line("UDPv4", rig.local, 1, Loopback(AF_INET, b.Port()), "connect")}));
}

TEST(UDPPort, EmptyDatagramsAndTheEndOfAnAssociation) {
    Rig<CUDPPort> rig(AF_INET, AF_INET);
    Udp cli(AF_INET);
    SockAddr me = Loopback(AF_INET, cli.Port());
    cli.Send("", rig.At(AF_INET));  // ignored: no association, nothing at the target
    SockAddr src = rig.Forward(cli, AF_INET, "first");
    EXPECT_EQ(rig.port.m_CliTab.Count(), 1u);

    rig.target.Send("", src);  // an empty datagram from the target ends the association
    MainLog log;
    ASSERT_TRUE(log.WaitSize(2));
    cli.Send("lost", rig.At(AF_INET));  // until the sweep, the client's datagrams fail
    ASSERT_TRUE(log.WaitSize(3));
    rig.port.m_CliTab.DeleteCloseOrOld();
    SockAddr src2 = rig.Forward(cli, AF_INET, "second");
    EXPECT_NE(src.Port(), src2.Port());
    ASSERT_TRUE(log.WaitSize(5));
    EXPECT_EQ(log.lines, (Lines{Line("UDPv4", rig.local, 1, me, "connect"), Line("UDPv4", rig.local, 1, me, "disconnect"),
                                "CUDPCli::SendToSrv::Send sendto(): 32 - Broken pipe",
                                Line("UDPv4", rig.local, 1, me, "deleted because closed"),
                                Line("UDPv4", rig.local, 2, me, "connect")}));
}

TEST(UDPPort, SweepDropsAssociationsWhoseTargetIsSilent) {
    Rig<CUDPPort> rig(AF_INET, AF_INET);
    Udp quiet(AF_INET), answered(AF_INET);
    rig.Forward(quiet, AF_INET, "q1");
    SockAddr src = rig.Forward(answered, AF_INET, "a1");
    Clock::Advance(100);
    rig.target.Send("answer", src);  // refreshes only this association
    EXPECT_EQ(answered.Text(), "answer");
    Clock::Advance(79);
    rig.Forward(quiet, AF_INET, "q2");  // the client's own traffic does not count
    rig.port.m_CliTab.DeleteCloseOrOld();
    EXPECT_EQ(rig.port.m_CliTab.Count(), 2u);  // 179 s, or 180 if the second just turned: not too long
    Clock::Advance(2);
    rig.port.m_CliTab.DeleteCloseOrOld();
    EXPECT_EQ(rig.port.m_CliTab.Count(), 1u);
    auto log = TakeLog();
    EXPECT_EQ(log.back(), Line("UDPv4", rig.local, 1, Loopback(AF_INET, quiet.Port()), "deleted because long idle"));
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](auto& l) { return l.find("disconnect") != l.npos; }), 0);
}

TEST(UDPPort, EchoAnswersEachDatagramWithOneDumpLine) {
    Rig<CUDPPort> rig(AF_INET, AF_INET, 0);
    Udp cli(AF_INET);
    for (std::string d : {std::string("AB"), Binary(40)}) {
        cli.Send(d, rig.At(AF_INET));
        SockAddr from;
        EXPECT_EQ(cli.Text(&from), d);
    }
    std::string title = DBString().Format(L"UDPv4 %05d", rig.local).ToStr() + Loopback(AF_INET, cli.Port()).ToLog().ToStr();
    auto log = TakeLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], title + " 41 42");
    EXPECT_EQ(log[1].substr(0, title.size() + 9), title + " 03 0A 11");
    EXPECT_EQ(log[1].substr(log[1].size() - 4), " ...");
    EXPECT_EQ(rig.port.m_CliTab.Count(), 0u);
}

template <typename PortT>
void CrossFamily(int portFamily, int targetFamily, const char* tag) {
    Rig<PortT> rig(portFamily, targetFamily);
    Udp cli(portFamily);
    SockAddr src = rig.Forward(cli, portFamily, "across");
    EXPECT_EQ(src.Family(), targetFamily);
    rig.target.Send("back", src);
    SockAddr from;
    EXPECT_EQ(cli.Text(&from), "back");
    EXPECT_TRUE(from == rig.At(portFamily));
    EXPECT_EQ(TakeLog(), Lines{Line(tag, rig.local, 1, Loopback(portFamily, cli.Port()), "connect")});
}

TEST(UDPPort, IPv6PortToIPv4TargetAndTheReverse) {
    CrossFamily<CUDPv6Port>(AF_INET6, AF_INET, "UDPv6");
    CrossFamily<CUDPPort>(AF_INET, AF_INET6, "UDPv4");
}

TEST(UDPPort, FailedStartsAreLoggedAndSweptAsClosed) {
    struct Case {
        const char* target;
        std::string line;
    };
    for (const Case& c : {Case{"", "CUDPv6Cli::Start empty IPv6 target address"},
                          Case{"zz::1", "CUDPv6Cli::Start std::stoi(ServAddrPart[i], 0, 16))"}}) {
        CUDPv6Port port;
        int local = FreePort(AF_INET6);
        TakeLog();
        port.Start(local, 9, c.target, CUDPv6Port::IPv6, -1);
        Udp cli(AF_INET6);
        cli.Send("x", Loopback(AF_INET6, local));
        ASSERT_TRUE(WaitUntil([&] { return port.m_CliTab.Count() == 1; }));
        // The association may still be in its failing start on a busy machine: sweep until it goes.
        ASSERT_TRUE(WaitUntil([&] {
            port.m_CliTab.DeleteCloseOrOld();
            return port.m_CliTab.Count() == 0;
        }));
        SockAddr me = Loopback(AF_INET6, cli.Port());
        auto log = TakeLog();
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(log[0], c.line);
        EXPECT_EQ(log[1], Line("UDPv6", local, 1, me, "connect"));
        EXPECT_EQ(log.back(), Line("UDPv6", local, 1, me, "deleted because closed"));
    }
}

TEST(UDPPort, SignalsInterruptingReceivesAreNotErrors) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sa.sa_flags = 0;  // no automatic restart: blocked receives return EINTR
    struct sigaction old {};
    sigaction(SIGUSR1, &sa, &old);
    Rig<CUDPPort> rig(AF_INET, AF_INET);
    Udp cli(AF_INET);
    SockAddr src = rig.Forward(cli, AF_INET, "before");
    for (int round = 0; round < 20; ++round) {
        for (auto& e : std::filesystem::directory_iterator("/proc/self/task"))
            syscall(SYS_tgkill, getpid(), std::stoi(e.path().filename().string()), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    rig.target.Send("after", src);
    SockAddr from;
    EXPECT_EQ(cli.Text(&from), "after");
    EXPECT_TRUE(rig.Forward(cli, AF_INET, "again") == src);
    EXPECT_EQ(TakeLog().size(), 1u);  // the connect line, no receive errors
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(UDPPort, BusyLocalPortLeavesThePortStopped) {
    Udp holder(AF_INET);
    TakeLog();
    CUDPPort port;
    port.Start(holder.Port(), 9, "127.0.0.1", CUDPPort::IPv4, -1);
    EXPECT_FALSE(port.m_Run);
    EXPECT_EQ(TakeLog(), std::vector<std::string>{"CUDPPort::Bind(): bind(): 98 - Address already in use"});
    port.Stop();
}

TEST(UDPPort, StopWithLiveAssociationsEndsEveryThreadQuietly) {
    Rig<CUDPPort> rig(AF_INET, AF_INET);
    std::vector<std::unique_ptr<Udp>> clis;
    for (int i = 0; i < 5; ++i) {
        clis.push_back(std::make_unique<Udp>(AF_INET));
        rig.Forward(*clis.back(), AF_INET, "hi");
    }
    rig.port.Stop();
    EXPECT_EQ(rig.port.m_CliTab.Count(), 0u);
    EXPECT_FALSE(rig.port.m_Socket.IsOpen());
    EXPECT_EQ(TakeLog().size(), 5u);  // the connect lines only
}

// Many clients at once; VEXA_UDP_LOAD_CLIENTS / _ROUNDS raise the load (1000 x 100 for the full run).
TEST(UDPPort, ManyClientsRelayEveryDatagram) {
    const char* c = std::getenv("VEXA_UDP_LOAD_CLIENTS");
    const char* r = std::getenv("VEXA_UDP_LOAD_ROUNDS");
    const int clients = c ? std::atoi(c) : 50, rounds = r ? std::atoi(r) : 10;
    Rig<CUDPPort> rig(AF_INET, AF_INET);
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        std::string d;
        SockAddr from;
        while (!stop) if (rig.target.Recv(d, from) && !d.empty()) rig.target.Send(d, from);
    });
    std::vector<std::unique_ptr<Udp>> peers;
    for (int i = 0; i < clients; ++i) peers.push_back(std::make_unique<Udp>(AF_INET));
    int relayed = 0;
    const int window = 100;
    for (int round = 0; round < rounds; ++round)
        for (int first = 0; first < clients; first += window) {
            int last = std::min(clients, first + window);
            for (int i = first; i < last; ++i) peers[i]->Send("r" + std::to_string(round) + "c" + std::to_string(i), rig.At(AF_INET));
            for (int i = first; i < last; ++i) {
                relayed += peers[i]->Text() == "r" + std::to_string(round) + "c" + std::to_string(i);
            }
            TakeLog();
        }
    EXPECT_EQ(relayed, clients * rounds);
    EXPECT_EQ(rig.port.m_CliTab.Count(), static_cast<size_t>(clients));
    // One thread per association and a few more: the count follows the clients, not the datagrams.
    size_t threads = 0;
    for (auto& e : std::filesystem::directory_iterator("/proc/self/task")) threads += e.exists();
    EXPECT_LE(threads, static_cast<size_t>(clients) + 8);
    rig.port.Stop();
    stop = true;
    ::shutdown(rig.target.s.Fd(), SHUT_RDWR);
    echo.join();
}
