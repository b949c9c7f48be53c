#pragma once
// Loopback peers and log readers shared by every unit program: datagram and stream sockets on
// 127.0.0.x / ::1 with time-outs, a target server, and readers of the main and DNS logs.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "util/Net.h"

namespace lb {
using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;

// ip is an IPv4 or IPv6 literal.
SockAddr Addr(const std::string& ip, int port);
inline SockAddr Loopback(int family, int port) { return Addr(family == AF_INET6 ? "::1" : "127.0.0.1", port); }
int LocalPort(int fd);
// A port of ip nobody uses at the moment.
int FreePort(const std::string& ip, int type = SOCK_STREAM);
inline int FreePort(int family) { return FreePort(family == AF_INET6 ? "::1" : "127.0.0.1", SOCK_DGRAM); }

// A datagram socket bound on loopback whose receives give up after three seconds.
struct Udp {
    Socket s;
    explicit Udp(const std::string& ip, int port = 0);
    explicit Udp(int family = AF_INET, int port = 0) : Udp(family == AF_INET6 ? "::1" : "127.0.0.1", port) {}
    int Port() const { return LocalPort(s.Fd()); }
    void Send(const std::string& data, const SockAddr& to) const;
    void Send(const Bytes& data, const SockAddr& to) const;
    // False (and nothing) on time-out.
    bool Recv(std::string& data, SockAddr& from, int flags = 0) const;
    Bytes Recv(SockAddr* from = nullptr, bool* ok = nullptr, int flags = 0) const;
    std::string Text(SockAddr* from = nullptr) const {
        Bytes b = Recv(from);
        return {b.begin(), b.end()};
    }
};

// Stream peers: Connect gives a closed Socket on failure.
Socket Connect(const std::string& ip, int port);
bool SendAll(int fd, const std::string& data);
// Reads until n bytes arrived, the peer closed or five seconds passed; whatever came.
std::string RecvN(int fd, size_t n);
inline std::string RecvAll(int fd) { return RecvN(fd, static_cast<size_t>(-1)); }
std::string RandomBytes(size_t n, unsigned seed);

// A target: accepts on ip (port chosen by the system), serves each connection in a thread of its own
// with handler (default: echo until the peer closes).
class Server {
public:
    using Handler = std::function<void(int fd)>;
    explicit Server(const std::string& ip, Handler handler = {});
    ~Server();
    int Port() const { return m_Port; }
    int Accepted() const { return m_Accepted.load(); }

private:
    Socket m_Listen;
    int m_Port = 0;
    Handler m_Handler;
    std::atomic<int> m_Accepted{0};
    std::atomic<bool> m_Run{true};
    std::mutex m_Lock;
    std::vector<Socket> m_Open;
    std::vector<std::thread> m_Threads;
    std::thread m_Acceptor;
};

bool WaitUntil(const std::function<bool()>& cond, int ms = 5000);
size_t CountOf(const Lines& lines, const std::string& text);

// The main log's lines without their "dd.mm.yyyy hh:mm:ss " stamp, gathered across calls.
struct MainLog {
    Lines lines;
    MainLog& Take();
    bool Has(const std::string& text) { return CountOf(Take().lines, text) > 0; }
    bool Wait(const std::function<bool(const Lines&)>& pred, int ms = 5000);
    bool WaitSize(size_t n) { return Wait([n](const Lines& l) { return l.size() >= n; }); }
    bool WaitFor(const std::string& text) { return Wait([&](const Lines& l) { return CountOf(l, text) > 0; }); }
};
// New main-log lines since the last read.
inline Lines TakeLog() { return MainLog().Take().lines; }
// Reads the main log until pred holds on what came (or five seconds pass); what came.
inline Lines WaitLines(const std::function<bool(const Lines&)>& pred) {
    MainLog log;
    log.Wait(pred);
    return log.lines;
}
inline Lines WaitLine(const std::string& text) {
    return WaitLines([&](const Lines& l) { return CountOf(l, text) > 0; });
}

// The DNS log's record lines, gathered across calls.
struct DNSLog {
    Lines lines;
    size_t WaitCount(size_t n);
    // Whether line `at` (any line when negative) has this peer ("127.000.000.001"), direction ('<'
    // received, '>' sent) and content.
    bool Has(int id, const char* ip, int port, char dir, const Bytes& data, int at = -1) const;
};

}  // namespace lb
