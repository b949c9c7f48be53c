// Target texts, address log texts and the socket helpers every relay relies on.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "common/Loopback.h"
#include "config/ErrorXML.h"

// The log text of each target, or the error text of the configuration line.
TEST(IPv6Target, SystemTextsExactlyOthersByGroupsAndTheirLogText) {
    const std::pair<const char*, const wchar_t*> cases[] = {
        {"::1", L" [::1]:80 "},
        {"::ffff:127.0.0.1", L" [::ffff:127.0.0.1]:80 "},
        {"fe80::1:2", L" [fe80::1:2]:80 "},
        {"1:2:3:4:5:6:7:8:9", L" [1:2:3:4:5:6:7:8]:80 "},  // the ninth group is ignored
        {" 1::2", L" [1::2]:80 "},                          // a blank the system parser refuses
        {"12345::1", L" [2345::1]:80 "},                    // low 16 bits of the group
        {"zz::1", L"std::stoi(ServAddrPart[i], 0, 16))"},
        {"", L"empty IPv6 target address"},
    };
    for (const auto& [text, log] : cases) {
        try {
            EXPECT_EQ(net::ParseIPv6Target(text, 80).ToLog(), log) << text;
        } catch (const ErrorXML& e) {
            EXPECT_EQ(e.m_Text, log) << text;
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

// A connect with a time-out that a signal interrupts still gives up in time: the SYN goes unanswered
// (the listener's queue is full), the interrupted call then waits for the outcome.
TEST(Connect, InterruptedStillEndsWithinItsTimeOut) {
    struct sigaction act {}, old{};
    act.sa_handler = [](int) {};
    sigaction(SIGUSR1, &act, &old);
    Socket listener(net::OpenSocket(AF_INET, SOCK_STREAM));
    net::Bind(listener.Fd(), lb::Addr("127.0.0.1", 0));
    ::listen(listener.Fd(), 0);
    const SockAddr at = lb::Addr("127.0.0.1", lb::LocalPort(listener.Fd()));
    std::vector<Socket> queued;  // fill the queue: later SYNs are dropped
    for (int i = 0; i < 2; ++i) {
        queued.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        ::connect(queued.back().Fd(), at.Raw(), at.Len());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Socket s(net::OpenSocket(AF_INET, SOCK_STREAM));
    s.SetSendTimeout(300);
    std::atomic<bool> done{false};
    std::thread connecting([&] {
        EXPECT_NE(s.Connect(at), 0);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pthread_kill(connecting.native_handle(), SIGUSR1);
    EXPECT_TRUE(lb::WaitUntil([&] { return done.load(); }, 2000));
    s.Shutdown();  // lets a connect that waits for ever go, so the test ends
    connecting.join();
    sigaction(SIGUSR1, &old, nullptr);
}
