#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "common/Loopback.h"
#include "daemon/VEXAProxy.h"

namespace {
sockaddr_in Addr(const char* ip, int port) { return lb::Addr(ip, port).V4(); }

std::vector<std::string> Lines() {
    auto q = _Modul.m_LogDNS.TakeQueued();
    return {q.begin(), q.end()};
}

const std::string kTime = R"(\d\d\.\d\d\.\d{4} \d\d:\d\d\.\d\d)";
}  // namespace

TEST(DNSLog, RecordLineFramesTimeByDirection) {
    Lines();
    const unsigned char q[] = {0x12, 0xAB, 0x01, 0x00, 0xFF};
    EXPECT_EQ(1, _Modul.m_LogDNS.Put(CDNSLog::typRecv, q, 5, 7, Addr("10.0.0.5", 40000)));
    _Modul.m_LogDNS.Put(CDNSLog::typSend, q, 2, 123456, Addr("192.168.100.1", 53));
    _Modul.m_LogDNS.Put(static_cast<CDNSLog::typRec>(3), q, 1, 0, Addr("0.0.0.0", 0));
    auto lines = Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("00007 010\\.000\\.000\\.005:40000  " + kTime + "<12 AB 01 00 FF ")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("123456 192\\.168\\.100\\.001:00053 >" + kTime + " 12 AB ")))
        << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("00000 000\\.000\\.000\\.000:00000  " + kTime + " 12 ")))
        << lines[2];
}

TEST(DNSLog, EmptyDatagramLeavesNoLineAndLongOnesAreWhole) {
    Lines();
    std::vector<unsigned char> big(512);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i);
    _Modul.m_LogDNS.Put(CDNSLog::typRecv, big.data(), 0, 1, Addr("1.2.3.4", 5));
    _Modul.m_LogDNS.Put(CDNSLog::typRecv, big.data(), -1, 1, Addr("1.2.3.4", 5));
    _Modul.m_LogDNS.Put(CDNSLog::typSend, big.data(), 512, 1, Addr("1.2.3.4", 5));
    auto lines = Lines();
    ASSERT_EQ(1u, lines.size());
    const std::string& l = lines[0];
    size_t hex = l.size() - 512 * 3;
    EXPECT_EQ("00 01 02 ", l.substr(hex, 9));
    EXPECT_EQ("FE FF 00 01 ", l.substr(hex + 254 * 3, 12));
    EXPECT_EQ("FF ", l.substr(l.size() - 3));
}
