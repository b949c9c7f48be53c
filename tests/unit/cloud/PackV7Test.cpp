#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "V7Packets.h"

using namespace v7test;

TEST(PackV7, CrcCheckValueAndIdentity) {
    const char* check = "123456789";
    EXPECT_EQ(CPackV7::Crc16(reinterpret_cast<const unsigned char*>(check), 9), 0x31C3);
    EXPECT_EQ(CPackV7::Crc16(nullptr, 0), 0);

    CIdentV7 id;
    const unsigned char field[4] = {0x07, 0xD2, 0x04, 0x00};
    id.SetValue(field);
    EXPECT_EQ(id.GetNode(), 1234);
    EXPECT_EQ(id.GetString(), L"1234.7");
    const unsigned char top[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    id.SetValue(top);
    EXPECT_EQ(id.GetNode(), 16777215);
    EXPECT_EQ(id.GetString(), L"16777215.255");
    id.SetValue(nullptr);
    EXPECT_EQ(id.GetString(), L"0.0");
}

TEST(PackV7, RoundTripsEveryLengthAndSeed) {
    std::mt19937 rng(7);
    const unsigned types[] = {3, 4, 7, 8};
    const unsigned char seeds[] = {0x00, 0x01, 0x3C, 0x7F, 0x80, 0xC3, 0xFF};
    CPackV7 pack;
    for (int len = CPackV7::kMinPacket; len <= CPackV7::kMaxPacket; ++len) {
        for (unsigned char seed : seeds) {
            Bytes p = MakePacket(len, types[len % 4], 1 + len, 9999899 - len, rng);
            Bytes d = Encode(p, seed);
            ASSERT_TRUE(pack.ChanCloudDecod(d.data(), static_cast<int>(d.size()))) << len << " " << +seed;
            ASSERT_EQ(pack.Length(), len);
            ASSERT_EQ(0, std::memcmp(pack.Data(), p.data(), p.size())) << len << " " << +seed;
            ASSERT_EQ(pack.Src().GetNode(), 1 + len);
            ASSERT_EQ(pack.Dst().GetNode(), 9999899 - len);
            ASSERT_EQ(pack.Type(), types[len % 4]);
        }
    }
    // Every seed, at the smallest datagram (16 bytes) and a mid-sized one; the seed really scrambles.
    for (int len : {13, 200}) {
        Bytes p = MakePacket(len, 7, 1234, 42, rng);
        Bytes first = Encode(p, 0);
        for (int seed = 0; seed < 256; ++seed) {
            Bytes d = Encode(p, static_cast<unsigned char>(seed));
            if (seed != 0) {
                EXPECT_NE(d, first);
            }
            ASSERT_TRUE(pack.ChanCloudDecod(d.data(), static_cast<int>(d.size()))) << seed;
            ASSERT_EQ(0, std::memcmp(pack.Data(), p.data(), p.size()));
        }
    }
}

TEST(PackV7, RejectsShortWrongTypeAndOutOfRange) {
    std::mt19937 rng(11);
    CPackV7 pack;
    unsigned char out[CPackV7::kBufSize + 3];
    EXPECT_EQ(CPackV7::ChanCloudCod(out, CPackV7::kMinPacket - 1, 0, out), 0);
    EXPECT_EQ(CPackV7::ChanCloudCod(out, CPackV7::kMaxPacket + 1, 0, out), 0);
    EXPECT_FALSE(pack.ChanCloudDecod(nullptr, 100));

    // 15 bytes: a valid 16-byte datagram cut short, and any 15 bytes at all.
    Bytes d = Encode(MakePacket(13, 3, 5, 6, rng), 9);
    EXPECT_TRUE(pack.ChanCloudDecod(d.data(), 16));
    for (int len = 0; len < 16; ++len) EXPECT_FALSE(pack.ChanCloudDecod(d.data(), len)) << len;
    EXPECT_EQ(pack.Type(), 0u);
    EXPECT_EQ(pack.Src().GetNode(), 0);

    // A sound CRC does not make a wrong type pass.
    for (unsigned type : {0u, 1u, 2u, 5u, 6u, 9u, 255u}) {
        Bytes w = Encode(MakePacket(40, type, 5, 6, rng), 77);
        EXPECT_FALSE(pack.ChanCloudDecod(w.data(), static_cast<int>(w.size()))) << type;
        EXPECT_EQ(pack.Type(), type);
    }

    // Only the first 1024 bytes count.
    Bytes big = Encode(MakePacket(CPackV7::kMaxPacket, 8, 5, 6, rng), 1);
    big.resize(1500, 0xAA);
    EXPECT_TRUE(pack.ChanCloudDecod(big.data(), static_cast<int>(big.size())));
    Bytes shifted(big.begin() + 1, big.end());
    EXPECT_FALSE(pack.ChanCloudDecod(shifted.data(), static_cast<int>(shifted.size())));
}

TEST(PackV7, AnyFlippedBitIsRejected) {
    std::mt19937 rng(3);
    CPackV7 pack;
    for (int len : {13, 14, 64, 300}) {
        Bytes d = Encode(MakePacket(len, 4, 1234, 4321, rng), static_cast<unsigned char>(len));
        for (size_t i = 0; i < d.size(); ++i) {
            for (int bit = 0; bit < 8; ++bit) {
                d[i] ^= static_cast<unsigned char>(1 << bit);
                EXPECT_FALSE(pack.ChanCloudDecod(d.data(), static_cast<int>(d.size()))) << len << " " << i << " " << bit;
                d[i] ^= static_cast<unsigned char>(1 << bit);
            }
        }
        EXPECT_TRUE(pack.ChanCloudDecod(d.data(), static_cast<int>(d.size())));
    }
}
