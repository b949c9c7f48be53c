#pragma once
// Loopback peers for the UDP tests: a datagram socket with a receive time-out, and a log reader that
// strips the time stamp.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/VEXAProxy.h"
#include "util/Net.h"

namespace udptest {

inline SockAddr Loopback(int family, int port) {
    SockAddr a = SockAddr::Any(family, port);
    if (family == AF_INET6) {
        sockaddr_in6 v6 = a.V6();
        v6.sin6_addr = in6addr_loopback;
        return SockAddr(v6);
    }
    sockaddr_in v4 = a.V4();
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return SockAddr(v4);
}

struct Peer {
    Socket s;
    explicit Peer(int family, int port = 0) {
        s.Reset(net::OpenSocket(family, SOCK_DGRAM));
        net::Bind(s.Fd(), Loopback(family, port));
        timeval tv{3, 0};
        setsockopt(s.Fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    int Port() const {
        SockAddr a;
        socklen_t len = SockAddr::Capacity();
        getsockname(s.Fd(), const_cast<sockaddr*>(a.Raw()), &len);
        return a.Port();
    }
    void Send(const std::string& data, const SockAddr& to) { net::SendTo(s.Fd(), data.data(), data.size(), to); }
    // Returns false on time-out.
    bool Recv(std::string& data, SockAddr& from) {
        std::vector<char> b(65536);
        ssize_t n = net::RecvFrom(s.Fd(), b.data(), b.size(), from);
        if (n < 0) return false;
        data.assign(b.data(), static_cast<size_t>(n));
        return true;
    }
};

// A free port number on loopback for the port under test.
inline int FreePort(int family) { return Peer(family).Port(); }

// Log lines queued since the last call, without their "dd.mm.yyyy hh:mm:ss " stamp.
inline std::vector<std::string> TakeLog() {
    std::vector<std::string> out;
    for (auto& line : _Modul.m_Log.TakeQueued()) out.push_back(line.size() > 20 ? line.substr(20) : line);
    return out;
}

// Adds log lines to log until it holds at least n of them.
inline bool WaitLog(std::vector<std::string>& log, size_t n, int ms = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        for (auto& l : TakeLog()) log.push_back(l);
        if (log.size() >= n) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

inline bool WaitFor(const std::function<bool()>& cond, int ms = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace udptest
