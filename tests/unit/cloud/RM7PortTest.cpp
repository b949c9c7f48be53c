#include <pthread.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "cloud/PackV7.h"
#include "cloud/RM7Port.h"
#include "common/Loopback.h"
#include "daemon/VEXAProxy.h"
#include "util/Clock.h"
#include "V7Packets.h"

namespace {
using namespace lb;

constexpr int kPortRM7 = 4999;
constexpr int kPortCloud = 5999;
constexpr int kPortServer = 6999;

// A device or the cloud server on 127.0.0.1.
struct Peer : Udp {
    explicit Peer(int port = 0) : Udp("127.0.0.1", port) {}
    void SendTo(int port, const Bytes& d) const { Send(d, Addr("127.0.0.1", port)); }
    Bytes Recv(int* fromPort = nullptr) const {
        SockAddr from;
        Bytes b = Udp::Recv(&from);
        if (fromPort) *fromPort = from.Port();
        return b;
    }
};

Bytes Datagram(unsigned type, int srcNode, int dstNode, int length = 40, unsigned char seed = 0x5A) {
    static std::mt19937 rng(1);
    return v7test::Encode(v7test::MakePacket(length, type, srcNode, dstNode, rng), seed);
}

std::string Prefix(int node, int port) {
    char text[80];
    std::snprintf(text, sizeof text, "RM7 %05d %7d  [::ffff:127.0.0.1]:%d ", kPortRM7, node, port);
    return text;
}

class RM7PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        Clock::Reset();
        TakeLog();
        relay.Start(kPortRM7, kPortCloud, kPortServer, "127.0.0.1");
        ASSERT_TRUE(relay.IsRunning());
    }
    void TearDown() override {
        relay.Stop();
        EXPECT_EQ(relay.Tab().Count(), 0u);
        Clock::Reset();
        TakeLog();
    }
    Peer cloud{kPortServer};
    RM7Port relay;
};
}  // namespace

TEST_F(RM7PortTest, RelaysBothWaysAndFollowsTheDevice) {
    Peer device;
    Bytes up = Datagram(3, 1234, 1);
    device.SendTo(kPortRM7, up);
    int from = 0;
    EXPECT_EQ(cloud.Recv(&from), up);
    EXPECT_EQ(from, kPortCloud);
    EXPECT_EQ(TakeLog(), std::vector<std::string>{Prefix(1234, device.Port()) + "connect"});

    Bytes down = Datagram(4, 1, 1234, 300);
    cloud.SendTo(kPortCloud, down);
    EXPECT_EQ(device.Recv(&from), down);
    EXPECT_EQ(from, kPortRM7);

    // The same node from another address: the cloud's next datagram goes there, no new "connect".
    Peer moved;
    Bytes up2 = Datagram(7, 1234, 1, 1021);
    moved.SendTo(kPortRM7, up2);
    EXPECT_EQ(cloud.Recv(), up2);
    Bytes down2 = Datagram(8, 1, 1234);
    cloud.SendTo(kPortCloud, down2);
    EXPECT_EQ(moved.Recv(), down2);
    EXPECT_TRUE(TakeLog().empty());
    EXPECT_EQ(relay.Tab().FindRM7Dest(1234)->Str(), DBString(Prefix(1234, device.Port()).c_str()));

    // Routing picks the node: a second device gets only its own datagrams.
    Peer other;
    other.SendTo(kPortRM7, Datagram(3, 9999899, 1));
    cloud.Recv();
    Bytes toOther = Datagram(3, 1, 9999899);
    cloud.SendTo(kPortCloud, toOther);
    cloud.SendTo(kPortCloud, down2);
    EXPECT_EQ(other.Recv(), toOther);
    EXPECT_EQ(moved.Recv(), down2);
    EXPECT_EQ(relay.Tab().Count(), 2u);
}

TEST_F(RM7PortTest, DropsInvalidDatagramsSilently) {
    Peer device;
    Bytes valid = Datagram(3, 1234, 1);
    Bytes badCrc = valid;
    badCrc[20] ^= 0x10;
    const Bytes rejects[] = {
        Bytes(valid.begin(), valid.begin() + 14), Bytes(valid.begin(), valid.begin() + 15),
        Bytes(500, 0xEE), badCrc, Datagram(5, 1234, 1), Datagram(6, 1234, 1),
        Datagram(3, 0, 1), Datagram(3, 9999900, 1), Datagram(3, 16777215, 1),
    };
    for (const Bytes& d : rejects) device.SendTo(kPortRM7, d);
    // The datagrams of one sender arrive in order: the first one the cloud sees is the valid one.
    device.SendTo(kPortRM7, valid);
    EXPECT_EQ(cloud.Recv(), valid);
    EXPECT_EQ(TakeLog(), std::vector<std::string>{Prefix(1234, device.Port()) + "connect"});
    EXPECT_EQ(relay.Tab().Count(), 1u);

    // From the cloud: invalid ones silently, unknown and out-of-range nodes with a line.
    for (const Bytes& d : {rejects[0], rejects[1], rejects[2], rejects[3], rejects[4]}) cloud.SendTo(kPortCloud, d);
    cloud.SendTo(kPortCloud, Datagram(3, 77, 42));
    cloud.SendTo(kPortCloud, Datagram(3, 77, 0));
    cloud.SendTo(kPortCloud, Datagram(3, 77, 9999900));
    Bytes down = Datagram(3, 77, 1234);
    cloud.SendTo(kPortCloud, down);
    EXPECT_EQ(device.Recv(), down);
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"Recipient not found 77.1 -> 42.2",
                                                    "Recipient not found 77.1 -> 0.2",
                                                    "Recipient not found 77.1 -> 9999900.2"}));
}

TEST_F(RM7PortTest, SweepForgetsSilentDevices) {
    Peer device;
    Peer quiet;
    device.SendTo(kPortRM7, Datagram(3, 1234, 1));
    cloud.Recv();
    quiet.SendTo(kPortRM7, Datagram(3, 55, 1));
    cloud.Recv();
    TakeLog();

    Clock::Advance(1000);
    device.SendTo(kPortRM7, Datagram(3, 1234, 1));
    cloud.Recv();
    // Datagrams towards a device do not keep it.
    cloud.SendTo(kPortCloud, Datagram(3, 1, 55));
    quiet.Recv();
    Clock::Advance(800);
    relay.Tab().DeleteCloseOrOld();
    EXPECT_EQ(relay.Tab().Count(), 2u);
    Clock::Advance(1);  // 1801 s since the quiet device was last heard
    relay.Tab().DeleteCloseOrOld();
    EXPECT_EQ(TakeLog(), std::vector<std::string>{Prefix(55, quiet.Port()) + "deleted because long idle"});
    EXPECT_EQ(relay.Tab().FindRM7Dest(55), nullptr);
    ASSERT_NE(relay.Tab().FindRM7Dest(1234), nullptr);

    cloud.SendTo(kPortCloud, Datagram(3, 1, 55));
    cloud.SendTo(kPortCloud, Datagram(3, 1, 1234));
    device.Recv();
    EXPECT_EQ(TakeLog(), std::vector<std::string>{"Recipient not found 1.1 -> 55.2"});
    Clock::Advance(1000);
    relay.Tab().DeleteCloseOrOld();
    EXPECT_EQ(relay.Tab().Count(), 0u);
}

TEST_F(RM7PortTest, SignalsDoNotBreakTheReceiveLoops) {
    // A handler installed without SA_RESTART makes blocked receives return EINTR. The test thread
    // blocks the signal so that it lands on the relay's threads.
    struct sigaction act {}, old{};
    act.sa_handler = [](int) {};
    sigemptyset(&act.sa_mask);
    ::sigaction(SIGUSR1, &act, &old);
    sigset_t set, oldSet;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &set, &oldSet);
    for (int i = 0; i < 40; ++i) {
        ::kill(::getpid(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Peer device;
    Bytes up = Datagram(3, 1234, 1);
    device.SendTo(kPortRM7, up);
    EXPECT_EQ(cloud.Recv(), up);
    ::pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(TakeLog(), std::vector<std::string>{Prefix(1234, device.Port()) + "connect"});
}

TEST(RM7PortStart, FailuresLeaveTheRelayStopped) {
    TakeLog();
    RM7Port relay;
    relay.Start(kPortRM7, kPortCloud, kPortServer, "host.invalid");
    EXPECT_FALSE(relay.IsRunning());
    auto log = TakeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("host.invalid - ", 0), 0u) << log[0];

    relay.Start(kPortRM7, kPortCloud, kPortServer, "0.0.0.0");
    EXPECT_FALSE(relay.IsRunning());
    EXPECT_EQ(TakeLog(), std::vector<std::string>{"0.0.0.0 address not read"});

    {
        Peer taken(kPortCloud);
        relay.Start(kPortRM7, kPortCloud, kPortServer, "::1");
        EXPECT_FALSE(relay.IsRunning());
        log = TakeLog();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].rfind("RM7Port::BindCloud(): bind(m_SocketCloud)", 0), 0u) << log[0];
    }
    // The device-side socket of the failed start does not block the next one; a stopped relay can
    // be started again.
    relay.Start(kPortRM7, kPortCloud, kPortServer, "::1");
    EXPECT_TRUE(relay.IsRunning());
    EXPECT_EQ(relay.CloudAddr().sin6_port, htons(kPortServer));
    relay.Stop();
    EXPECT_FALSE(relay.IsRunning());
    relay.Start(kPortRM7, kPortCloud, kPortServer, "127.0.0.1");
    EXPECT_TRUE(relay.IsRunning());
    relay.Stop();
    EXPECT_TRUE(TakeLog().empty());
}
