#pragma once
// Packets as the lift controllers and the cloud server build them.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "cloud/PackV7.h"

namespace v7test {
using Bytes = std::vector<unsigned char>;

// A packet of the given length with a header the relay reads: type, source and destination.
inline Bytes MakePacket(int length, unsigned type, int srcNode, int dstNode, std::mt19937& rng) {
    Bytes p(static_cast<size_t>(length));
    for (auto& b : p) b = static_cast<unsigned char>(rng());
    p[0] = static_cast<unsigned char>(type);
    p[3] = 1, p[4] = srcNode & 0xFF, p[5] = (srcNode >> 8) & 0xFF, p[6] = (srcNode >> 16) & 0xFF;
    p[7] = 2, p[8] = dstNode & 0xFF, p[9] = (dstNode >> 8) & 0xFF, p[10] = (dstNode >> 16) & 0xFF;
    return p;
}

inline Bytes Encode(const Bytes& packet, unsigned char seed) {
    Bytes out(packet.size() + 3);
    int n = CPackV7::ChanCloudCod(packet.data(), static_cast<int>(packet.size()), seed, out.data());
    EXPECT_EQ(n, static_cast<int>(out.size()));
    return out;
}
}  // namespace v7test
