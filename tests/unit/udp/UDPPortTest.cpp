// The UDP relay on loopback: associations per client with their own source port, numbering, the
// sweep and the bound with the test clock, the end of an association, echo rules.
#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <thread>

#include "common/Loopback.h"
#include "udp/CUDPPort.h"
#include "util/Clock.h"

using namespace lb;

namespace {
const char* LoIP(int family) { return family == AF_INET6 ? "::1" : "127.0.0.1"; }

// A port of one family relaying to a target peer of another, and a way to drive it. Its clock
// stands still but for the test's own steps: ages, the answer grace, the wait for room and the
// second of a burst do not depend on how fast the machine runs the test.
template <typename PortT = CUDPPort>
struct Rig {
    PortT port;
    Udp target;  // bound first: it may not take the rule's port before the rule binds it
    int local = FreePort("::", SOCK_DGRAM);
    explicit Rig(int targetFamily = AF_INET, int echo = -1, const char* targetText = nullptr) : target(LoIP(targetFamily)) {
        Clock::Freeze();
        TakeLog();
        port.Start(local, target.Port(), targetText ? targetText : LoIP(targetFamily),
                   targetFamily == AF_INET6 ? PortT::IPv6 : PortT::IPv4, echo);
    }
    ~Rig() { Clock::Reset(); }
    SockAddr At(int family = AF_INET) const { return Addr(LoIP(family), local); }
    // Client -> target; the source address the target saw.
    SockAddr Forward(const Udp& cli, const std::string& data) {
        cli.Send(data, At(cli.Me().Family()));
        SockAddr src;
        EXPECT_EQ(target.Text(&src), data);
        return src;
    }
    std::string Line(int id, const Udp& cli, const char* text, const char* tag = "UDPv4") const {
        return DBString().Format(L"%s %05d %05d ", tag, local, id).ToStr() + cli.Me().ToLog().ToStr() + text;
    }
};

}  // namespace

// Datagrams pass unchanged both ways, the answers from the rule's port, also to a target of the
// other family; only the target's datagrams reach an association. Each client gets a number and a
// source port of its own. Only datagrams from the target keep an association: it goes after more
// than 180 silent seconds. An empty datagram from the target ends it: the client's datagrams fail
// until the sweep removes it, and the next one starts a new one.
TEST(UDPPort, AssociationsFromFirstDatagramToTheirEnd) {
    Rig rig(AF_INET6);
    Udp a, b, d;
    a.Send("", rig.At());  // ignored: no association, nothing at the target
    SockAddr srcA = rig.Forward(a, RandomBytes(32000, 1)), srcB = rig.Forward(b, "from b"), from;
    EXPECT_NE(srcA.Port(), srcB.Port());
    EXPECT_EQ(srcA.Family(), AF_INET6);
    Clock::Advance(std::chrono::seconds(100));
    Udp stranger("::1");
    stranger.Send("forged", srcB);  // only the target's datagrams reach the association
    rig.target.Send(RandomBytes(31999, 2), srcB);
    EXPECT_EQ(b.Text(&from), RandomBytes(31999, 2));
    EXPECT_TRUE(from == rig.At());
    rig.port.m_CliTab.ForEach([](auto, auto& cli) {  // the limit to the second, on its own clock
        EXPECT_EQ(cli.SweepReason(cli.TimeLast() + 180000), nullptr);
        EXPECT_STREQ(cli.SweepReason(cli.TimeLast() + 180001), L"deleted because long idle");
    });
    Clock::Advance(std::chrono::seconds(79));
    EXPECT_TRUE(rig.Forward(a, "again a") == srcA);  // t = 179
    rig.port.m_CliTab.DeleteCloseOrOld();
    EXPECT_EQ(rig.port.m_CliTab.Count(), 2u);
    Clock::Advance(std::chrono::seconds(3));
    rig.port.m_CliTab.DeleteCloseOrOld();
    SockAddr srcD = rig.Forward(d, "d");
    rig.target.Send("", srcD);
    MainLog log;
    ASSERT_TRUE(log.WaitFor(rig.Line(3, d, "disconnect")));
    d.Send("lost", rig.At());
    ASSERT_TRUE(log.WaitFor("CUDPCli::SendToSrv::Send sendto(): 9 - Bad file descriptor"));
    rig.port.m_CliTab.DeleteCloseOrOld();
    EXPECT_NE(rig.Forward(d, "again d").Port(), srcD.Port());
    ASSERT_TRUE(log.WaitSize(8));
    EXPECT_EQ(log.lines, (Lines{rig.Line(1, a, "connect"), rig.Line(2, b, "connect"), rig.Line(1, a, "deleted because long idle"),
                                rig.Line(3, d, "connect"), rig.Line(3, d, "disconnect"),
                                "CUDPCli::SendToSrv::Send sendto(): 9 - Bad file descriptor", rig.Line(3, d, "deleted because closed"),
                                rig.Line(4, d, "connect")}));
}

TEST(UDPPort, EchoAnswersEachDatagramWithOneDumpLine) {
    Rig rig(AF_INET, 0);
    Udp cli;
    for (const std::string d : {"AB", "C"}) {
        cli.Send(d, rig.At());
        EXPECT_EQ(cli.Text(), d);
    }
    const std::string title = DBString().Format(L"UDPv4 %05d", rig.local).ToStr() + cli.Me().ToLog().ToStr();
    EXPECT_EQ(TakeLog(), (Lines{title + " 41 42", title + " 43"}));
    EXPECT_EQ(rig.port.m_CliTab.Count(), 0u);
}

// Without a target address an association holds nothing and stays, closed, until the sweep. (One
// without a thread is not even kept: tests/unit/dns asks that with what DNS does for its client.)
TEST(UDPPort, AssociationWithoutATargetHoldsNothingUntilTheSweep) {
    Rig<CUDPv6Port> v6(AF_INET6, -1, "");
    Udp cli("::1");
    cli.Send("x", v6.At(AF_INET6));
    ASSERT_TRUE(WaitUntil([&] { return v6.port.m_CliTab.Count() == 1; }));
    v6.port.m_CliTab.DeleteCloseOrOld();
    MainLog log;
    ASSERT_TRUE(log.WaitSize(4));
    EXPECT_EQ(log.lines, (Lines{"CUDPv6Cli::Start empty IPv6 target address", v6.Line(1, cli, "connect", "UDPv6"),
                                "CUDPv6Cli::SendToSrv::Send sendto(): 9 - Bad file descriptor",
                                v6.Line(1, cli, "deleted because closed", "UDPv6")}));
}

// A full table evicts, in this order: a client its target has not answered for a second; one
// answered but silent since (a spoofed source never sees its answer); one whose answer may still be
// on the way; each tier least recently active first. A client that sent after its answer stays, with
// its reply in flight, and so does one evicted before that came back (a spoofed source never does).
// Ages run on the monotonic clock, so a step of the wall clock by an hour either way changes nothing.
TEST(UDPPort, FullTableEvictsByWhoAnswersAndKeepsTwoWayClients) {
    Rig rig;
    rig.port.m_CliTab.SetBound(3);
    Udp device, spoofed, unanswered, n1, n2, n3, n4;
    auto answer = [&](const Udp& cli, const std::string& data) {
        rig.target.Send("re " + data, rig.Forward(cli, data));
        EXPECT_EQ(cli.Text(), "re " + data);
    };
    answer(device, "1");
    answer(spoofed, "s");
    answer(device, "2");  // device: sent after its answer
    rig.Forward(unanswered, "u");
    MainLog log;
    // Newcomer (its number), whether a second passes first, the one it evicts (its number).
    const struct { Udp* newcomer; int id; bool second; Udp* evicted; int evictedID; } steps[] = {
        {&n1, 4, false, &spoofed, 2},     // the unanswered one may still get its answer
        {&n2, 5, true, &unanswered, 3},   // a second on: unanswered, and quiet longer than n1
        {&n3, 6, false, &n1, 4},          // then answered, below
        {&unanswered, 7, false, &n3, 6},  // back: ranks with the device; n2 may still get its answer
        {&n4, 8, false, &n2, 5},          // the one back and the device answer back
    };
    int hours = 1;
    for (const auto& k : steps) {
        SCOPED_TRACE(k.id);
        Clock::StepWall(std::chrono::hours(hours));
        hours = -2 * hours;
        if (k.second) Clock::Advance(std::chrono::seconds(1));
        const SockAddr src = rig.Forward(*k.newcomer, "new");
        ASSERT_TRUE(log.WaitFor(rig.Line(k.id, *k.newcomer, "connect")));
        EXPECT_EQ(CountOf(log.lines, rig.Line(k.evictedID, *k.evicted, "deleted because table full")), 1u);
        if (k.newcomer == &n3) {
            rig.target.Send("late", src);
            EXPECT_EQ(n3.Text(), "late");
        }
    }
    answer(device, "3");
    EXPECT_EQ(rig.port.m_CliTab.GetTotals().evicted, 5u);
    EXPECT_EQ(CountOf(log.Take().lines, rig.Line(1, device, "deleted because table full")), 0u);
}

// A flood of new clients on a full rule: the first ten evictions keep their own line, the rest are
// counted and summed up at most once a second (a sum that is due is written by the sweep).
TEST(UDPPort, EvictionsOfABurstAreSummedUp) {
    Rig rig;
    rig.port.m_CliTab.SetBound(1);
    std::vector<std::unique_ptr<Udp>> clients(14);
    for (auto& c : clients) {
        c = std::make_unique<Udp>();
        rig.Forward(*c, "x");
    }
    MainLog log;
    const std::string rule = DBString().Format(L"UDPv4 %05d ", rig.local).ToStr();
    ASSERT_TRUE(log.WaitFor(rig.Line(14, *clients[13], "connect")));
    size_t own = 0;
    for (const auto& l : log.lines) own += l.find("deleted because table full") != std::string::npos && l.rfind("UDPv4", 0) == 0 && l.find(" more ") == std::string::npos;
    EXPECT_EQ(own, 10u);
    EXPECT_EQ(CountOf(log.lines, rule + "1 more deleted because table full"), 1u);
    Clock::Advance(std::chrono::seconds(1));
    rig.port.m_CliTab.DeleteCloseOrOld();
    ASSERT_TRUE(log.WaitFor(rule + "2 more deleted because table full"));
    EXPECT_EQ(rig.port.m_CliTab.GetTotals().evicted, 13u);
}

// One thread per association, not per datagram; signals interrupting the blocked receives are not
// errors; a stop ends every association without a line.
TEST(UDPPort, ManyClientsSignalsThenStop) {
    struct sigaction sa {}, old{};
    sa.sa_handler = [](int) {};  // no SA_RESTART: blocked receives return EINTR
    sigaction(SIGUSR1, &sa, &old);
    Rig rig;
    std::vector<std::unique_ptr<Udp>> peers(50);
    for (auto& p : peers) p = std::make_unique<Udp>();
    size_t relayed = 0;
    for (const std::string round : {"1", "2", "3", "4", "5"}) {
        for (auto& p : peers) rig.target.Send(round, rig.Forward(*p, round));
        for (auto& p : peers) relayed += p->Text() == round;
        for (auto& e : std::filesystem::directory_iterator("/proc/self/task"))
            if (int tid = std::stoi(e.path().filename().string()); tid != gettid()) syscall(SYS_tgkill, getpid(), tid, SIGUSR1);
    }
    EXPECT_EQ(relayed, peers.size() * 5);
    EXPECT_EQ(rig.port.m_CliTab.Count(), peers.size());
    EXPECT_LE(Entries("/proc/self/task"), peers.size() + 8);
    rig.port.Stop();
    EXPECT_EQ(rig.port.m_CliTab.Count(), 0u);
    EXPECT_FALSE(rig.port.m_Socket.IsOpen());
    EXPECT_EQ(TakeLog().size(), peers.size());  // the connect lines only
    sigaction(SIGUSR1, &old, nullptr);
}
