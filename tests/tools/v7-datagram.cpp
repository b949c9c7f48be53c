// Writes one V7 cloud-channel datagram to standard output, for system tests and the demo that
// play an RM7 device or the cloud server:
//   v7-datagram TYPE SRC_NODE DST_NODE [PAYLOAD [SEED]]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cloud/PackV7.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s TYPE SRC_NODE DST_NODE [PAYLOAD [SEED]]\n", argv[0]);
        return 2;
    }
    // Type, two bytes of no meaning here, then source and destination: sub-address 0 and the node
    // number in three bytes, least significant first.
    std::string packet(13, '\0');
    packet[0] = static_cast<char>(std::atoi(argv[1]));
    for (int i = 0; i < 6; ++i) packet[4 + i + i / 3] = static_cast<char>(std::atol(argv[2 + i / 3]) >> (8 * (i % 3)));
    packet += argc > 4 ? argv[4] : "";
    std::string out(packet.size() + 3, '\0');
    int n = CPackV7::ChanCloudCod(reinterpret_cast<const unsigned char*>(packet.data()), static_cast<int>(packet.size()),
                                  static_cast<unsigned char>(argc > 5 ? std::atoi(argv[5]) : 0x5A),
                                  reinterpret_cast<unsigned char*>(out.data()));
    if (n <= 0) {
        std::fprintf(stderr, "packet length out of range\n");
        return 1;
    }
    std::fwrite(out.data(), 1, static_cast<size_t>(n), stdout);
    return 0;
}
