#include "common/Loopback.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "daemon/VEXAProxy.h"

namespace lb {

SockAddr Addr(const std::string& ip, int port) {
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET6, ip.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        return SockAddr(v6);
    }
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &v4.sin_addr);
    return SockAddr(v4);
}

static SockAddr Bound(int fd) {
    SockAddr a;
    socklen_t len = SockAddr::Capacity();
    ::getsockname(fd, a.Raw(), &len);
    return a;
}

int LocalPort(int fd) { return Bound(fd).Port(); }

int FreePort(const std::string& ip, int type) {
    SockAddr a = Addr(ip, 0);
    Socket s(net::OpenSocket(a.Family(), type));
    net::Bind(s.Fd(), a);
    return LocalPort(s.Fd());
}

Udp::Udp(const std::string& ip, int port) {
    SockAddr a = Addr(ip, port);
    s.Reset(net::OpenSocket(a.Family(), SOCK_DGRAM));
    if (net::Bind(s.Fd(), a) != 0) std::fprintf(stderr, "bind %s:%d failed\n", ip.c_str(), port);
    timeval tv{3, 0};
    ::setsockopt(s.Fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

SockAddr Udp::Me() const { return Bound(s.Fd()); }

void Udp::Send(const Bytes& data, const SockAddr& to) const { net::SendTo(s.Fd(), data.data(), data.size(), to); }

Bytes Udp::Recv(SockAddr* from, bool* ok, int flags) const {
    Bytes b(65536);
    SockAddr f;
    socklen_t len = SockAddr::Capacity();
    ssize_t n = ::recvfrom(s.Fd(), b.data(), b.size(), flags, f.Raw(), &len);
    if (ok) *ok = n >= 0;
    if (from) *from = f;
    b.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return b;
}

Socket Connect(const std::string& ip, int port) {
    SockAddr a = Addr(ip, port);
    Socket s(net::OpenSocket(a.Family(), SOCK_STREAM));
    if (::connect(s.Fd(), a.Raw(), a.Len()) != 0) s.Close();
    return s;
}

bool SendAll(int fd, const std::string& data) {
    return net::SendAll(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

std::string RecvN(int fd, size_t limit) {
    std::string out;
    std::vector<char> buf(65536);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (out.size() < limit) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        ssize_t n = ::recv(fd, buf.data(), std::min(buf.size(), limit - out.size()), 0);
        if (n <= 0) break;
        out.append(buf.data(), static_cast<size_t>(n));
    }
    return out;
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

Server::Server(const std::string& ip, Handler handler) : m_Handler(std::move(handler)) {
    if (!m_Handler)
        m_Handler = [](int fd) {
            std::vector<char> buf(65536);
            for (ssize_t n; (n = ::recv(fd, buf.data(), buf.size(), 0)) > 0;)
                if (net::SendAll(fd, buf.data(), static_cast<size_t>(n)) < 0) break;
            ::shutdown(fd, SHUT_WR);
        };
    SockAddr a = Addr(ip, 0);
    m_Listen.Reset(net::OpenSocket(a.Family(), SOCK_STREAM));
    net::Bind(m_Listen.Fd(), a);
    ::listen(m_Listen.Fd(), SOMAXCONN);
    m_Port = LocalPort(m_Listen.Fd());
    m_Acceptor = std::thread([this] {
        for (;;) {
            Socket c(::accept(m_Listen.Fd(), nullptr, nullptr));
            if (!m_Run) return;
            if (!c.IsOpen()) continue;
            ++m_Accepted;
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Threads.emplace_back([this, fd = c.Fd()] { m_Handler(fd); });
            m_Open.push_back(std::move(c));
        }
    });
}

Server::~Server() {
    m_Run = false;
    ::shutdown(m_Listen.Fd(), SHUT_RDWR);
    m_Acceptor.join();
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        for (auto& c : m_Open) ::shutdown(c.Fd(), SHUT_RDWR);
    }
    for (auto& t : m_Threads) t.join();
}

bool WaitUntil(const std::function<bool()>& cond, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

size_t CountOf(const Lines& lines, const std::string& text) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
}

MainLog& MainLog::Take() {
    for (auto& l : _Modul.m_Log.TakeQueued()) lines.push_back(l.size() >= 20 ? l.substr(20) : l);
    return *this;
}

}  // namespace lb
