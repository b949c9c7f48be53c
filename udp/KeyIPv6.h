#pragma once
// Key of the IPv6 client tables: the client's address and port. Flow information and scope are
// left out on purpose: they do not tell two clients apart.
#include <netinet/in.h>

#include <cstdint>
#include <cstring>

struct KeyIPv6 {
    in6_addr m_Addr;
    uint16_t m_Port;

    KeyIPv6(const in6_addr& addr, int port) : m_Addr(addr), m_Port(static_cast<uint16_t>(port)) {}
    KeyIPv6(const KeyIPv6&) = default;
    KeyIPv6& operator=(const KeyIPv6&) = default;

    // Address bytes as unsigned from the first, then the port.
    bool operator<(const KeyIPv6& o) const {
        int c = std::memcmp(m_Addr.s6_addr, o.m_Addr.s6_addr, sizeof m_Addr.s6_addr);
        if (c != 0) return c < 0;
        return m_Port < o.m_Port;
    }
};
