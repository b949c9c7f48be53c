// The V7 cloud channel (round trip, rejected datagrams) and the RM7 relay on loopback: checked
// datagrams relayed, cloud datagrams routed by node number, silent devices swept.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>

#include "cloud/PackV7.h"
#include "cloud/RM7Port.h"
#include "common/Loopback.h"
#include "util/Clock.h"

namespace {
using namespace lb;

// A packet as the devices and the cloud server build it (type; source and destination, each as
// sub-address and node number), scrambled with seed; the packet itself in *packet.
Bytes Datagram(int type, int src, int dst, int length = 40, int seed = 0x5A, Bytes* packet = nullptr) {
    static std::mt19937 rng(1);
    Bytes p(static_cast<size_t>(length)), out(p.size() + 3);
    for (auto& b : p) b = static_cast<unsigned char>(rng());
    const int fields[] = {type, 0, 0, 1, src, src >> 8, src >> 16, 2, dst, dst >> 8, dst >> 16};
    std::copy(std::begin(fields), std::end(fields), p.begin());
    EXPECT_EQ(CPackV7::ChanCloudCod(p.data(), length, static_cast<unsigned char>(seed), out.data()), length + 3);
    if (packet) *packet = p;
    return out;
}

bool Decodes(CPackV7& pack, const Bytes& d) { return pack.ChanCloudDecod(d.data(), static_cast<int>(d.size())); }

// A device or the cloud server on 127.0.0.1.
struct Peer : Udp {
    void SendTo(int port, const Bytes& d) const { Send(d, Addr("127.0.0.1", port)); }
    Bytes From(int port) const {
        SockAddr from;
        Bytes b = Recv(&from);
        EXPECT_EQ(from.Port(), port);
        return b;
    }
};

}  // namespace

// Every packet length comes back unchanged; short, cut, damaged datagrams and wrong types do not
// decode, whatever their checksum.
TEST(PackV7, RoundTripsAndRejectsShortWrongTypeFlippedBitAndOutOfRange) {
    EXPECT_EQ(CPackV7::Crc16(reinterpret_cast<const unsigned char*>("123456789"), 9), 0x31C3);
    CPackV7 pack;
    unsigned char out[CPackV7::kBufSize + 3];
    EXPECT_EQ(CPackV7::ChanCloudCod(out, CPackV7::kMinPacket - 1, 0, out), 0);
    EXPECT_EQ(CPackV7::ChanCloudCod(out, CPackV7::kMaxPacket + 1, 0, out), 0);
    EXPECT_FALSE(pack.ChanCloudDecod(nullptr, 100));
    for (int len = CPackV7::kMinPacket; len <= CPackV7::kMaxPacket; ++len) {
        Bytes p, good = Datagram(len % 2 ? 3 : 8, 1 + len, 9999899 - len, len, len * 7, &p);
        ASSERT_TRUE(Decodes(pack, good)) << len;
        ASSERT_EQ(Bytes(pack.Data(), pack.Data() + pack.Length()), p) << len;
        ASSERT_FALSE(pack.ChanCloudDecod(good.data(), len + 2)) << len;
        for (size_t bit = 0; (len == 13 || len == 64 || len == 300) && bit < good.size() * 8; ++bit) {  // every bit of a few
            Bytes bad = good;
            bad[bit / 8] ^= static_cast<unsigned char>(1 << bit % 8);
            EXPECT_FALSE(Decodes(pack, bad)) << len << " bit " << bit;
        }
    }
    for (int type : {0, 1, 2, 5, 6, 9, 255}) EXPECT_FALSE(Decodes(pack, Datagram(type, 5, 6))) << type;
    // Only the first 1024 bytes count.
    Bytes big = Datagram(7, 5, 6, CPackV7::kMaxPacket, 1);
    big.resize(1500, 0xAA);
    EXPECT_TRUE(Decodes(pack, big));
    EXPECT_FALSE(Decodes(pack, Bytes(big.begin() + 1, big.end())));
}

// Datagrams that do not decode, or name no valid node, are dropped without a line; the cloud's are routed by destination
// node, to the address the device last sent from.
TEST(RM7Relay, RelaysCheckedDatagramsByNodeFollowsMovedDevicesAndForgetsSilentOnes) {
    Peer cloud;  // bound first: it may not take a port of the relay before the relay binds
    // The relay's two ports, from the kernel: other test programs run at the same time.
    const int portRM7 = FreePort("::", SOCK_DGRAM);
    int portCloud;
    do portCloud = FreePort("::", SOCK_DGRAM);
    while (portCloud == portRM7);
    auto prefix = [&](int node, int port) {
        return DBString().Format(L"RM7 %05d %7d  [::ffff:127.0.0.1]:%d ", portRM7, node, port).ToStr();
    };
    RM7Port relay;
    TakeLog();
    relay.Start(portRM7, portCloud, cloud.Port(), "127.0.0.1");
    ASSERT_TRUE(relay.IsRunning());
    Peer device, moved;

    Bytes up = Datagram(3, 1234, 1), badCrc = up;
    badCrc[20] ^= 0x10;
    // The drop length, one that does not decode (what else does not is PackV7's part), nodes out of range.
    const Bytes rejects[] = {Bytes(up.begin(), up.begin() + 14), badCrc, Datagram(3, 0, 1), Datagram(3, 9999900, 1)};
    for (const Bytes& d : rejects) device.SendTo(portRM7, d);
    device.SendTo(portRM7, up);  // one sender's datagrams arrive in order
    EXPECT_EQ(cloud.From(portCloud), up);
    for (size_t i = 0; i < 2; ++i) cloud.SendTo(portCloud, rejects[i]);
    for (int node : {42, 0, 9999900}) cloud.SendTo(portCloud, Datagram(3, 77, node));
    Bytes down = Datagram(4, 1, 1234, 300);
    cloud.SendTo(portCloud, down);
    EXPECT_EQ(device.From(portRM7), down);
    EXPECT_EQ(TakeLog(), (Lines{prefix(1234, device.Port()) + "connect", "Recipient not found 77.1 -> 42.2",
                                "Recipient not found 77.1 -> 0.2", "Recipient not found 77.1 -> 9999900.2"}));

    // The same node from another address: no new "connect"; another node: its own.
    Bytes up2 = Datagram(7, 1234, 1, 1021), up3 = Datagram(3, 9999899, 1);
    moved.SendTo(portRM7, up2);
    EXPECT_EQ(cloud.Recv(), up2);
    device.SendTo(portRM7, up3);
    EXPECT_EQ(cloud.Recv(), up3);
    Bytes down2 = Datagram(8, 1, 1234), down3 = Datagram(3, 1, 9999899);
    cloud.SendTo(portCloud, down2);
    cloud.SendTo(portCloud, down3);
    EXPECT_EQ(moved.Recv(), down2);
    EXPECT_EQ(device.Recv(), down3);
    EXPECT_EQ(TakeLog(), Lines{prefix(9999899, device.Port()) + "connect"});

    // Only datagrams from a device keep it; it goes after more than 1800 silent seconds, the limit
    // to the millisecond on its own clock.
    RM7 probe(55, sockaddr_in6{}, LocalAddr(), &relay);
    const int64_t last = probe.Rank(0, false).since;
    EXPECT_EQ(probe.SweepReason(last + 1800999), nullptr);
    EXPECT_STREQ(probe.SweepReason(last + 1801000), L"deleted because long idle");
    Clock::Advance(std::chrono::seconds(1000));
    moved.SendTo(portRM7, up2);
    cloud.Recv();
    cloud.SendTo(portCloud, down3);
    device.Recv();
    Clock::Advance(std::chrono::seconds(799));
    relay.Tab().DeleteCloseOrOld();
    EXPECT_EQ(relay.Tab().Count(), 2u);
    Clock::Advance(std::chrono::seconds(3));
    relay.Tab().DeleteCloseOrOld();
    EXPECT_EQ(TakeLog(), Lines{prefix(9999899, device.Port()) + "deleted because long idle"});
    relay.Stop();
    EXPECT_EQ(relay.Tab().Count(), 0u);
    EXPECT_TRUE(TakeLog().empty());
    Clock::Reset();
}
