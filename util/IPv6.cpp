#include "util/IPv6.h"

#include <cstring>

in6_addr ToIPv6(int addr) {
    in6_addr a = NulIPv6();
    a.s6_addr[10] = 0xFF;
    a.s6_addr[11] = 0xFF;
    std::memcpy(&a.s6_addr[12], &addr, 4);
    return a;
}

in6_addr NulIPv6() {
    in6_addr a;
    std::memset(&a, 0, sizeof a);
    return a;
}

bool isNulIPv6(const in6_addr& addr) {
    static const in6_addr nul = NulIPv6();
    static const in6_addr mappedNul = ToIPv6(0);
    return std::memcmp(&addr, &nul, sizeof addr) == 0 || std::memcmp(&addr, &mappedNul, sizeof addr) == 0;
}
