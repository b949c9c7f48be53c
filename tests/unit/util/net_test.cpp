// Target texts and the socket helpers every relay relies on.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <thread>

#include "config/ErrorXML.h"
#include "util/Net.h"

namespace {
std::string Text(const SockAddr& a) {
    char buf[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &a.V6().sin6_addr, buf, sizeof buf);
    return buf;
}
}  // namespace

TEST(IPv6Target, SystemTextsAreUsedExactly) {
    EXPECT_EQ(Text(net::ParseIPv6Target("::1", 80)), "::1");
    EXPECT_EQ(Text(net::ParseIPv6Target("::ffff:127.0.0.1", 80)), "::ffff:127.0.0.1");
    EXPECT_EQ(Text(net::ParseIPv6Target("fe80::1:2", 80)), "fe80::1:2");
    SockAddr a = net::ParseIPv6Target("2001:db8::7", 8080);
    EXPECT_EQ(a.Family(), AF_INET6);
    EXPECT_EQ(a.Port(), 8080);
    EXPECT_EQ(a.Len(), 28u);
}

TEST(IPv6Target, LenientGroupsForTextsTheSystemRefuses) {
    // Nine groups: the ninth is ignored; " 1" has a blank the system parser refuses.
    EXPECT_EQ(Text(net::ParseIPv6Target("1:2:3:4:5:6:7:8:9", 1)), "1:2:3:4:5:6:7:8");
    EXPECT_EQ(Text(net::ParseIPv6Target(" 1::2", 1)), "1::2");
    EXPECT_EQ(Text(net::ParseIPv6Target("12345::1", 1)), "2345::1");  // low 16 bits of the group
}

TEST(IPv6Target, BadAndEmptyTextsFail) {
    try {
        net::ParseIPv6Target("zz::1", 1);
        FAIL();
    } catch (const ErrorXML& e) {
        EXPECT_EQ(e.m_Text, L"std::stoi(ServAddrPart[i], 0, 16))");
        EXPECT_EQ(e.m_Code, 0);
    }
    EXPECT_THROW(net::ParseIPv6Target("", 1), ErrorXML);
}

TEST(SockAddrKey, OrdersByFamilyAddressAndPort) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(1000);
    sockaddr_in b = a;
    b.sin_port = htons(1001);
    EXPECT_TRUE(SockAddr(a) < SockAddr(b));
    EXPECT_TRUE(SockAddr(a) == SockAddr(a));
    EXPECT_FALSE(SockAddr(a) == SockAddr(b));
    EXPECT_EQ(SockAddr(a).ToLog(), L" 127.0.0.1:1000 ");
    EXPECT_EQ(net::ParseIPv6Target("::1", 8080).ToLog(), L" [::1]:8080 ");
}

TEST(SocketOwner, ClosesExactlyOnce) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        Socket s(fds[0]);
        Socket moved(std::move(s));
        EXPECT_FALSE(s.IsOpen());
        moved.Close();
        moved.Close();
    }
    EXPECT_EQ(close(fds[0]), -1);  // already closed by its owner
    close(fds[1]);
}

TEST(SendAll, DeliversLargePiecesCompletely) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::string data(4 << 20, 'q');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        ssize_t n;
        while ((n = net::Recv(sv[1], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    });
    EXPECT_EQ(net::SendAll(sv[0], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    shutdown(sv[0], SHUT_WR);
    reader.join();
    EXPECT_TRUE(got == data);
    close(sv[0]);
    close(sv[1]);
}
