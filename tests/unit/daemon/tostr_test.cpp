// Address texts of log lines and the log root.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "daemon/VEXAProxy.h"

TEST(AddressText, IPv4AndIPv6Forms) {
    in_addr a{};
    inet_pton(AF_INET, "192.168.1.10", &a);
    EXPECT_EQ(VEXAProxy::ToStr(static_cast<int>(a.s_addr), 80), L" 192.168.1.10:80 ");
    inet_pton(AF_INET, "10.0.0.5", &a);
    EXPECT_EQ(VEXAProxy::ToStr(static_cast<int>(a.s_addr), 40000), L" 10.0.0.5:40000 ");
    EXPECT_EQ(VEXAProxy::ToStr(in6addr_loopback, 8080), L" [::1]:8080 ");
}

TEST(LogRoot, FixedPaths) {
    EXPECT_EQ(_Modul.PathLogs(), L"/var/log/VEXA/VEXAProxy/logs/");
    EXPECT_EQ(_Modul.m_Log.Dir(), L"/var/log/VEXA/VEXAProxy/logs/bad");
    EXPECT_EQ(_Modul.m_LogDNS.Dir(), L"/var/log/VEXA/VEXAProxy/logs/dns");
}
