#include "common/Loopback.h"

#include <sys/time.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>

#include "daemon/VEXAProxy.h"

namespace lb {

// As in the daemon: a relay that splices into a socket its peer has closed gets EPIPE, not a signal.
[[maybe_unused]] static const bool kNoSigPipe = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

SockAddr Addr(const std::string& ip, int port) {
    if (ip.find(':') != std::string::npos) return net::ParseIPv6Target(ip, port);
    SockAddr a;
    net::ResolveFirst(ip, port, AF_INET, SOCK_DGRAM, a);
    return a;
}

static SockAddr Bound(int fd) {
    SockAddr a;
    socklen_t len = SockAddr::Capacity();
    ::getsockname(fd, a.Raw(), &len);
    return a;
}

int LocalPort(int fd) { return Bound(fd).Port(); }

// A socket of ip's family whose receives give up after seconds.
static int Open(const std::string& ip, int type, long seconds) {
    int fd = net::OpenSocket(Addr(ip, 0).Family(), type);
    timeval tv{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

int FreePort(const std::string& ip, int type) {
    Socket s(Open(ip, type, 0));
    net::Bind(s.Fd(), Addr(ip, 0));
    return LocalPort(s.Fd());
}

Udp::Udp(const std::string& ip, int port) : s(Open(ip, SOCK_DGRAM, 3)) { net::Bind(s.Fd(), Addr(ip, port)); }

SockAddr Udp::Me() const { return Bound(s.Fd()); }

Bytes Udp::Recv(SockAddr* from) const {
    Bytes b(65536);
    SockAddr ignored;
    b.resize(static_cast<size_t>(std::max<ssize_t>(net::RecvFrom(s.Fd(), b.data(), b.size(), from ? *from : ignored), 0)));
    return b;
}

Socket Connect(const std::string& ip, int port) {
    SockAddr a = Addr(ip, port);
    Socket s(Open(ip, SOCK_STREAM, 5));
    if (::connect(s.Fd(), a.Raw(), a.Len()) != 0) s.Close();
    return s;
}

bool SendAll(int fd, const std::string& data) {
    return net::SendAll(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

std::string RecvN(int fd, size_t limit) {
    std::string out;
    std::vector<char> buf(65536);
    for (ssize_t n; out.size() < limit && (n = net::Recv(fd, buf.data(), std::min(buf.size(), limit - out.size()))) > 0;)
        out.append(buf.data(), static_cast<size_t>(n));
    return out;
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    std::generate(s.begin(), s.end(), std::mt19937(seed));
    return s;
}

Server::Server(const std::string& ip, Handler handler) : m_Listen(Open(ip, SOCK_STREAM, 0)), m_Handler(std::move(handler)) {
    if (!m_Handler)
        m_Handler = [](int fd) {
            std::vector<char> buf(65536);
            for (ssize_t n; (n = net::Recv(fd, buf.data(), buf.size())) > 0;)
                if (net::SendAll(fd, buf.data(), static_cast<size_t>(n)) < 0) break;
            ::shutdown(fd, SHUT_WR);
        };
    net::Bind(m_Listen.Fd(), Addr(ip, 0));
    ::listen(m_Listen.Fd(), SOMAXCONN);
    m_Port = LocalPort(m_Listen.Fd());
    m_Acceptor = std::thread([this] {
        for (;;) {
            Socket c(::accept(m_Listen.Fd(), nullptr, nullptr));
            if (!m_Run) return;
            if (!c.IsOpen()) continue;
            ++m_Accepted;
            m_Threads.emplace_back([this, fd = c.Fd()] { m_Handler(fd); });
            m_Open.push_back(std::move(c));
        }
    });
}

Server::~Server() {
    m_Run = false;
    ::shutdown(m_Listen.Fd(), SHUT_RDWR);
    m_Acceptor.join();
    for (auto& c : m_Open) ::shutdown(c.Fd(), SHUT_RDWR);
    for (auto& t : m_Threads) t.join();
}

bool WaitUntil(const std::function<bool()>& cond, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (; !cond(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

size_t CountOf(const Lines& lines, const std::string& text) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
}

size_t Entries(const char* dir) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()));
}

MainLog& MainLog::Take() {
    for (auto& l : _Modul.m_Log.TakeQueued()) lines.push_back(l.size() >= 20 ? l.substr(20) : l);
    return *this;
}

}  // namespace lb
