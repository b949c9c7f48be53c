// Target texts, address log texts and the socket helpers every relay relies on.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "common/Loopback.h"
#include "config/ErrorXML.h"

TEST(IPv6Target, SystemTextsExactlyOthersByGroupsAndTheirLogText) {
    const struct {
        const char* text;
        const char* log;
    } cases[] = {
        {"::1", " [::1]:80 "},
        {"::ffff:127.0.0.1", " [::ffff:127.0.0.1]:80 "},
        {"fe80::1:2", " [fe80::1:2]:80 "},
        {"1:2:3:4:5:6:7:8:9", " [1:2:3:4:5:6:7:8]:80 "},  // the ninth group is ignored
        {" 1::2", " [1::2]:80 "},                          // a blank the system parser refuses
        {"12345::1", " [2345::1]:80 "},                    // low 16 bits of the group
    };
    for (const auto& k : cases) {
        SockAddr a = net::ParseIPv6Target(k.text, 80);
        EXPECT_EQ(a.Family(), AF_INET6);
        EXPECT_EQ(a.ToLog().ToStr(), k.log) << k.text;
    }
    EXPECT_EQ(lb::Addr("10.0.0.5", 40000).ToLog(), L" 10.0.0.5:40000 ");
    for (const char* bad : {"zz::1", ""}) {
        try {
            net::ParseIPv6Target(bad, 1);
            ADD_FAILURE() << "no exception for '" << bad << "'";
        } catch (const ErrorXML& e) {
            EXPECT_EQ(e.m_Text, *bad ? L"std::stoi(ServAddrPart[i], 0, 16))" : L"empty IPv6 target address");
            EXPECT_EQ(e.m_Code, 0);
        }
    }
}

// A small send buffer makes sends short; signals without SA_RESTART interrupt the blocked ones.
TEST(SendAll, CompletesShortAndInterruptedSends) {
    struct sigaction act {}, old{};
    act.sa_handler = [](int) {};
    sigaction(SIGUSR1, &act, &old);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const std::string data = lb::RandomBytes(4 << 20, 1);
    const pthread_t sender = pthread_self();
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        for (ssize_t n; (n = net::Recv(sv[1], buf, sizeof buf)) > 0; pthread_kill(sender, SIGUSR1))
            got.append(buf, static_cast<size_t>(n));
    });
    EXPECT_EQ(net::SendAll(sv[0], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    shutdown(sv[0], SHUT_WR);
    reader.join();
    EXPECT_TRUE(got == data);
    close(sv[0]);
    close(sv[1]);
    sigaction(SIGUSR1, &old, nullptr);
}
