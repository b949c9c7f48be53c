#include "tcp/TcpTestUtil.h"

#include <poll.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <utility>

#include "daemon/VEXAProxy.h"

namespace tcptest {

namespace {
bool Fill(const char* addr, int port, sockaddr_storage& ss, socklen_t& len) {
    std::memset(&ss, 0, sizeof ss);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET, addr, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, addr, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof *v6;
        return true;
    }
    return false;
}
}  // namespace

int Connect(const char* addr, int port) {
    sockaddr_storage ss;
    socklen_t len = 0;
    if (!Fill(addr, port, ss, len)) return -1;
    int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int LocalPort(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

bool SendAll(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

namespace {
std::string Read(int fd, size_t limit) {
    std::string out;
    char buf[65536];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (out.size() < limit) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0) break;
        ssize_t n = ::recv(fd, buf, std::min(sizeof buf, limit - out.size()), 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}
}  // namespace

std::string RecvN(int fd, size_t n) { return Read(fd, n); }
std::string RecvAll(int fd) { return Read(fd, static_cast<size_t>(-1)); }

int FreePort(const char* addr) {
    sockaddr_storage ss;
    socklen_t len = 0;
    Fill(addr, 0, ss, len);
    Fd s(::socket(ss.ss_family, SOCK_STREAM, 0));
    ::bind(s.fd, reinterpret_cast<sockaddr*>(&ss), len);
    return LocalPort(s.fd);
}

Server::Server(const char* addr, Handler handler) : m_Handler(handler ? std::move(handler) : Echo) {
    sockaddr_storage ss;
    socklen_t len = 0;
    Fill(addr, 0, ss, len);
    m_Listen = Fd(::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    ::setsockopt(m_Listen.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::bind(m_Listen.fd, reinterpret_cast<sockaddr*>(&ss), len);
    ::listen(m_Listen.fd, SOMAXCONN);
    m_Port = LocalPort(m_Listen.fd);
    int lfd = m_Listen.fd;
    m_Acceptor = std::thread([this, lfd] {
        for (;;) {
            int c = ::accept(lfd, nullptr, nullptr);
            if (!m_Run) {
                if (c >= 0) ::close(c);
                return;
            }
            if (c < 0) continue;
            ++m_Accepted;
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Open.push_back(c);
            m_Threads.emplace_back([this, c] { m_Handler(c); });
        }
    });
}

Server::~Server() {
    m_Run = false;
    ::shutdown(m_Listen.fd, SHUT_RDWR);
    m_Acceptor.join();
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        for (int c : m_Open) ::shutdown(c, SHUT_RDWR);
    }
    for (auto& t : m_Threads) t.join();
    for (int c : m_Open) ::close(c);
}

void Server::Echo(int fd) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        if (!SendAll(fd, std::string(buf, static_cast<size_t>(n)))) break;
    }
    ::shutdown(fd, SHUT_WR);
}

namespace {
std::mutex g_LinesLock;
std::vector<std::string> g_Seen;
void Drain() {
    for (auto& l : _Modul.m_Log.TakeQueued()) g_Seen.push_back(l.size() >= 20 ? l.substr(20) : l);
}
}  // namespace

std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(g_LinesLock);
    Drain();
    return std::exchange(g_Seen, {});
}

std::vector<std::string> WaitLines(const std::function<bool(const std::vector<std::string>&)>& pred) {
    std::lock_guard<std::mutex> lock(g_LinesLock);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        Drain();
        if (pred(g_Seen) || std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::exchange(g_Seen, {});
}

std::vector<std::string> WaitLine(const std::string& text) {
    return WaitLines([&](const auto& lines) { return CountOf(lines, text) > 0; });
}

size_t CountOf(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

}  // namespace tcptest
