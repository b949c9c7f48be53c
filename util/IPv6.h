#pragma once
#include <netinet/in.h>

// ::ffff:a.b.c.d from an IPv4 address in network byte order.
in6_addr ToIPv6(int addr);
// The all-zero address ::.
in6_addr NulIPv6();
// True for :: and for ::ffff:0.0.0.0.
bool isNulIPv6(const in6_addr& addr);
