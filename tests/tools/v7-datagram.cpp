// Writes one V7 cloud-channel datagram to standard output, for system tests and the demo that
// play an RM7 device or the cloud server:
//   v7-datagram TYPE SRC_NODE DST_NODE [PAYLOAD [SEED]]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cloud/PackV7.h"

namespace {
void PutIdent(unsigned char* field, long node) {
    field[0] = 0;  // sub-address
    field[1] = static_cast<unsigned char>(node & 0xFF);
    field[2] = static_cast<unsigned char>((node >> 8) & 0xFF);
    field[3] = static_cast<unsigned char>((node >> 16) & 0xFF);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s TYPE SRC_NODE DST_NODE [PAYLOAD [SEED]]\n", argv[0]);
        return 2;
    }
    const char* payload = argc > 4 ? argv[4] : "";
    auto seed = static_cast<unsigned char>(argc > 5 ? std::atoi(argv[5]) : 0x5A);
    std::vector<unsigned char> packet(13, 0);
    packet[0] = static_cast<unsigned char>(std::atoi(argv[1]));
    PutIdent(&packet[3], std::atol(argv[2]));
    PutIdent(&packet[7], std::atol(argv[3]));
    packet.insert(packet.end(), payload, payload + std::strlen(payload));
    std::vector<unsigned char> out(packet.size() + 3);
    int n = CPackV7::ChanCloudCod(packet.data(), static_cast<int>(packet.size()), seed, out.data());
    if (n <= 0) {
        std::fprintf(stderr, "packet length out of range\n");
        return 1;
    }
    std::fwrite(out.data(), 1, static_cast<size_t>(n), stdout);
    return 0;
}
