#pragma once
// UDP forwarding rules: the datagram relay (udp/DatagramPort.h) on a port of the rule's family, to a
// target given by host name (IPv4) or IPv6 address text. The two families differ only in that and
// in the names of their lines.
#include <netinet/in.h>

#include "udp/DatagramPort.h"

template <int Family>
class UDPPortT : public DatagramPort {
public:
    enum typIP { IPv4 = 1, IPv6 = 2 };

    UDPPortT();
    ~UDPPortT() { Stop(); }

    void Start(int portLocal, int portRemote, const char* ipRemote, typIP typ, int echo) {
        Open(portLocal, portRemote, ipRemote, typ == IPv6, echo);
    }
};

template <>
UDPPortT<AF_INET>::UDPPortT();
template <>
UDPPortT<AF_INET6>::UDPPortT();

using CUDPPort = UDPPortT<AF_INET>;
using CUDPv6Port = UDPPortT<AF_INET6>;
