#pragma once
// Key of the datagram client tables: the client's address and port, an IPv4 address as its mapped
// IPv6 form, so that one key serves both families. Flow information and scope are left out on
// purpose: they do not tell two clients apart.
#include <netinet/in.h>

#include <cstdint>
#include <cstring>

#include "util/Net.h"

struct ClientKey {
    in6_addr m_Addr;
    uint16_t m_Port;

    static ClientKey Of(const SockAddr& a) {
        ClientKey key{};
        if (a.Family() == AF_INET6) {
            key.m_Addr = a.V6().sin6_addr;
        } else {
            key.m_Addr.s6_addr[10] = key.m_Addr.s6_addr[11] = 0xff;
            std::memcpy(key.m_Addr.s6_addr + 12, &a.V4().sin_addr, 4);
        }
        key.m_Port = static_cast<uint16_t>(a.Port());
        return key;
    }

    // Address bytes as unsigned from the first, then the port.
    bool operator<(const ClientKey& o) const {
        int c = std::memcmp(m_Addr.s6_addr, o.m_Addr.s6_addr, sizeof m_Addr.s6_addr);
        if (c != 0) return c < 0;
        return m_Port < o.m_Port;
    }
};
