// The V7 cloud channel (round trip, rejected datagrams) and the RM7 relay on loopback: checked
// datagrams relayed, cloud datagrams routed by node number, silent devices swept.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "cloud/PackV7.h"
#include "cloud/RM7Port.h"
#include "common/Loopback.h"
#include "util/Clock.h"

namespace {
using namespace lb;

// A packet as the devices and the cloud server build it: type, source and destination node.
Bytes Packet(int length, unsigned type, int src, int dst, std::mt19937& rng) {
    Bytes p(static_cast<size_t>(length));
    for (auto& b : p) b = static_cast<unsigned char>(rng());
    p[0] = static_cast<unsigned char>(type);
    p[3] = 1, p[4] = src & 0xFF, p[5] = (src >> 8) & 0xFF, p[6] = (src >> 16) & 0xFF;
    p[7] = 2, p[8] = dst & 0xFF, p[9] = (dst >> 8) & 0xFF, p[10] = (dst >> 16) & 0xFF;
    return p;
}

Bytes Encode(const Bytes& packet, int seed) {
    Bytes out(packet.size() + 3);
    int n = CPackV7::ChanCloudCod(packet.data(), static_cast<int>(packet.size()), static_cast<unsigned char>(seed), out.data());
    EXPECT_EQ(n, static_cast<int>(out.size()));
    return out;
}

bool Decodes(CPackV7& pack, const Bytes& d) { return pack.ChanCloudDecod(d.data(), static_cast<int>(d.size())); }

Bytes Datagram(unsigned type, int src, int dst, int length = 40) {
    static std::mt19937 rng(1);
    return Encode(Packet(length, type, src, dst, rng), 0x5A);
}
}  // namespace

TEST(PackV7, RoundTripsEveryLengthAndSeed) {
    EXPECT_EQ(CPackV7::Crc16(reinterpret_cast<const unsigned char*>("123456789"), 9), 0x31C3);
    std::mt19937 rng(7);
    CPackV7 pack;
    const unsigned types[] = {3, 4, 7, 8};
    for (int len = CPackV7::kMinPacket; len <= CPackV7::kMaxPacket; ++len) {
        for (int seed : {0x00, 0x80, 0xFF, len & 0xFF}) {
            Bytes p = Packet(len, types[len % 4], 1 + len, 9999899 - len, rng);
            ASSERT_TRUE(Decodes(pack, Encode(p, seed))) << len << " " << seed;
            ASSERT_EQ(Bytes(pack.Data(), pack.Data() + pack.Length()), p) << len << " " << seed;
            ASSERT_EQ(pack.Type(), types[len % 4]);
            ASSERT_EQ(pack.Src().GetNode(), 1 + len);
            ASSERT_EQ(pack.Dst().GetNode(), 9999899 - len);
        }
    }
}

TEST(PackV7, RejectsShortWrongTypeFlippedBitAndOutOfRange) {
    std::mt19937 rng(11);
    CPackV7 pack;
    unsigned char out[CPackV7::kBufSize + 3];
    EXPECT_EQ(CPackV7::ChanCloudCod(out, CPackV7::kMinPacket - 1, 0, out), 0);
    EXPECT_EQ(CPackV7::ChanCloudCod(out, CPackV7::kMaxPacket + 1, 0, out), 0);
    EXPECT_FALSE(pack.ChanCloudDecod(nullptr, 100));
    Bytes d = Encode(Packet(13, 3, 5, 6, rng), 9);
    for (int len = 0; len < 16; ++len) EXPECT_FALSE(pack.ChanCloudDecod(d.data(), len)) << len;
    for (unsigned type : {0u, 1u, 2u, 5u, 6u, 9u, 255u})  // a sound CRC does not make a wrong type pass
        EXPECT_FALSE(Decodes(pack, Encode(Packet(40, type, 5, 6, rng), 77))) << type;
    for (int len : {13, 64, 300}) {
        Bytes good = Encode(Packet(len, 4, 1234, 4321, rng), len);
        for (size_t bit = 0; bit < good.size() * 8; ++bit) {
            Bytes bad = good;
            bad[bit / 8] ^= static_cast<unsigned char>(1 << bit % 8);
            EXPECT_FALSE(Decodes(pack, bad)) << len << " bit " << bit;
        }
    }
    // Only the first 1024 bytes count.
    Bytes big = Encode(Packet(CPackV7::kMaxPacket, 8, 5, 6, rng), 1);
    big.resize(1500, 0xAA);
    EXPECT_TRUE(Decodes(pack, big));
    EXPECT_FALSE(Decodes(pack, Bytes(big.begin() + 1, big.end())));
}

namespace {
// The relay's two ports, from the kernel: other test programs run at the same time.
int OtherThan(int port) {
    int p = FreePort("::", SOCK_DGRAM);
    return p == port ? OtherThan(port) : p;
}
const int kPortRM7 = FreePort("::", SOCK_DGRAM), kPortCloud = OtherThan(kPortRM7);

// A device or the cloud server on 127.0.0.1.
struct Peer : Udp {
    explicit Peer(int port = 0) : Udp("127.0.0.1", port) {}
    void SendTo(int port, const Bytes& d) const { Send(d, Addr("127.0.0.1", port)); }
    Bytes From(int port) const {
        SockAddr from;
        Bytes b = Recv(&from);
        EXPECT_EQ(from.Port(), port);
        return b;
    }
};

std::string Prefix(int node, int port) {
    char text[80];
    std::snprintf(text, sizeof text, "RM7 %05d %7d  [::ffff:127.0.0.1]:%d ", kPortRM7, node, port);
    return text;
}

class RM7Relay : public ::testing::Test {
protected:
    void SetUp() override {
        TakeLog();
        relay.Start(kPortRM7, kPortCloud, cloud.Port(), "127.0.0.1");
        ASSERT_TRUE(relay.IsRunning());
    }
    void TearDown() override {
        relay.Stop();
        EXPECT_EQ(relay.Tab().Count(), 0u);
        Clock::Reset();
        TakeLog();
    }
    Peer cloud;
    RM7Port relay;
};
}  // namespace

TEST_F(RM7Relay, RelaysBothWaysRoutesByNodeAndFollowsAMovedDevice) {
    Peer device, moved, other;
    Bytes up = Datagram(3, 1234, 1);
    device.SendTo(kPortRM7, up);
    EXPECT_EQ(cloud.From(kPortCloud), up);
    EXPECT_EQ(TakeLog(), Lines{Prefix(1234, device.Port()) + "connect"});
    Bytes down = Datagram(4, 1, 1234, 300);
    cloud.SendTo(kPortCloud, down);
    EXPECT_EQ(device.From(kPortRM7), down);

    // The same node from another address: the cloud's next datagram goes there, no new "connect".
    Bytes up2 = Datagram(7, 1234, 1, 1021);
    moved.SendTo(kPortRM7, up2);
    EXPECT_EQ(cloud.Recv(), up2);
    other.SendTo(kPortRM7, Datagram(3, 9999899, 1));
    cloud.Recv();
    Bytes toOther = Datagram(3, 1, 9999899), down2 = Datagram(8, 1, 1234);
    cloud.SendTo(kPortCloud, toOther);
    cloud.SendTo(kPortCloud, down2);
    EXPECT_EQ(other.Recv(), toOther);
    EXPECT_EQ(moved.Recv(), down2);
    EXPECT_EQ(TakeLog(), Lines{Prefix(9999899, other.Port()) + "connect"});
    EXPECT_EQ(relay.Tab().Count(), 2u);
}

TEST_F(RM7Relay, DropsInvalidDatagramsSilentlyAndNamesUnknownRecipients) {
    Peer device;
    Bytes valid = Datagram(3, 1234, 1);
    Bytes badCrc = valid;
    badCrc[20] ^= 0x10;
    const Bytes rejects[] = {Bytes(valid.begin(), valid.begin() + 14), Bytes(valid.begin(), valid.begin() + 15),
                             Bytes(500, 0xEE), badCrc, Datagram(5, 1234, 1), Datagram(6, 1234, 1),
                             Datagram(3, 0, 1), Datagram(3, 9999900, 1), Datagram(3, 16777215, 1)};
    for (const Bytes& d : rejects) device.SendTo(kPortRM7, d);
    device.SendTo(kPortRM7, valid);  // one sender's datagrams arrive in order
    EXPECT_EQ(cloud.Recv(), valid);
    EXPECT_EQ(TakeLog(), Lines{Prefix(1234, device.Port()) + "connect"});

    for (size_t i = 0; i < 5; ++i) cloud.SendTo(kPortCloud, rejects[i]);
    for (int node : {42, 0, 9999900}) cloud.SendTo(kPortCloud, Datagram(3, 77, node));
    Bytes down = Datagram(3, 77, 1234);
    cloud.SendTo(kPortCloud, down);
    EXPECT_EQ(device.Recv(), down);
    EXPECT_EQ(TakeLog(), (Lines{"Recipient not found 77.1 -> 42.2", "Recipient not found 77.1 -> 0.2",
                                "Recipient not found 77.1 -> 9999900.2"}));
    EXPECT_EQ(relay.Tab().Count(), 1u);
}

// Only datagrams from a device keep it; it goes after more than 1800 silent seconds.
TEST_F(RM7Relay, SweepForgetsSilentDevices) {
    Peer device, quiet;
    device.SendTo(kPortRM7, Datagram(3, 1234, 1));
    quiet.SendTo(kPortRM7, Datagram(3, 55, 1));
    cloud.Recv();
    cloud.Recv();
    TakeLog();
    Clock::Advance(1000);
    device.SendTo(kPortRM7, Datagram(3, 1234, 1));
    cloud.Recv();
    cloud.SendTo(kPortCloud, Datagram(3, 1, 55));
    quiet.Recv();
    Clock::Advance(800);
    relay.Tab().DeleteCloseOrOld();
    EXPECT_EQ(relay.Tab().Count(), 2u);
    Clock::Advance(1);
    relay.Tab().DeleteCloseOrOld();
    EXPECT_EQ(TakeLog(), Lines{Prefix(55, quiet.Port()) + "deleted because long idle"});
    sockaddr_in6 addr;
    EXPECT_FALSE(relay.Tab().AddrOf(55, addr));
    EXPECT_TRUE(relay.Tab().AddrOf(1234, addr));
}

TEST(RM7RelayStart, FailuresAreLoggedAndLeaveTheRelayStopped) {
    TakeLog();
    RM7Port relay;
    relay.Start(kPortRM7, kPortCloud, 9, "host.invalid");
    EXPECT_FALSE(relay.IsRunning());
    relay.Start(kPortRM7, kPortCloud, 9, "0.0.0.0");
    EXPECT_FALSE(relay.IsRunning());
    {
        Udp taken("127.0.0.1", kPortCloud);
        relay.Start(kPortRM7, kPortCloud, 9, "::1");
        EXPECT_FALSE(relay.IsRunning());
    }
    Lines log = TakeLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].rfind("host.invalid - ", 0), 0u) << log[0];
    EXPECT_EQ(log[1], "0.0.0.0 address not read");
    EXPECT_EQ(log[2].rfind("RM7Port::BindCloud(): bind(m_SocketCloud)", 0), 0u) << log[2];
    // The device-side socket of the failed start does not block the next one.
    relay.Start(kPortRM7, kPortCloud, 9, "::1");
    EXPECT_TRUE(relay.IsRunning());
    relay.Stop();
    EXPECT_TRUE(TakeLog().empty());
}
