#pragma once
// Loopback peers and log readers shared by the unit programs: sockets on 127.0.0.x / ::1 that give
// up after a few seconds, a target server, and a reader of the main log.
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
int LocalPort(int fd);
// A port nobody uses at the moment. For a port the code under test binds on every address, ask for
// "::": the kernel then picks one that no IPv4 or IPv6 socket holds, whatever the other test
// programs running at the same time have bound.
int FreePort(const std::string& ip, int type = SOCK_STREAM);

// A datagram socket bound on loopback whose receives give up (empty) after three seconds.
struct Udp {
    Socket s;
    explicit Udp(const std::string& ip = "127.0.0.1", int port = 0);
    SockAddr Me() const;
    int Port() const { return Me().Port(); }
    void Send(const Bytes& data, const SockAddr& to) const { net::SendTo(s.Fd(), data.data(), data.size(), to); }
    void Send(const std::string& data, const SockAddr& to) const { net::SendTo(s.Fd(), data.data(), data.size(), to); }
    Bytes Recv(SockAddr* from = nullptr) const;
    std::string Text(SockAddr* from = nullptr) const {
        Bytes b = Recv(from);
        return {b.begin(), b.end()};
    }
};

// Stream peers: Connect gives a closed Socket on failure; RecvN reads until n bytes arrived, the
// peer closed or a read waited five seconds.
Socket Connect(const std::string& ip, int port);
bool SendAll(int fd, const std::string& data);
std::string RecvN(int fd, size_t n);
inline std::string RecvAll(int fd) { return RecvN(fd, static_cast<size_t>(-1)); }
std::string RandomBytes(size_t n, unsigned seed);

// A target on ip (port chosen by the system) serving each connection in a thread of its own with
// handler (default: echo until the peer closes).
struct Server {
    using Handler = std::function<void(int fd)>;
    explicit Server(const std::string& ip, Handler handler = {});
    ~Server();
    int Port() const { return m_Port; }
    int Accepted() const { return m_Accepted.load(); }
    Socket m_Listen;
    int m_Port = 0;
    Handler m_Handler;
    std::atomic<int> m_Accepted{0};
    std::atomic<bool> m_Run{true};
    std::vector<Socket> m_Open;  // the acceptor's own until it has ended
    std::vector<std::thread> m_Threads;
    std::thread m_Acceptor;
};

bool WaitUntil(const std::function<bool()>& cond, int ms = 5000);
size_t CountOf(const Lines& lines, const std::string& text);
// The entries of a directory: descriptors in /proc/self/fd, threads in /proc/self/task.
size_t Entries(const char* dir);

// The main log's lines without their "dd.mm.yyyy hh:mm:ss " stamp, gathered across calls. The log
// has a writer of its own: wait for a line before asserting on it.
struct MainLog {
    Lines lines;
    MainLog& Take();
    bool WaitSize(size_t n) { return WaitUntil([&] { return Take().lines.size() >= n; }); }
    bool WaitFor(const std::string& text) { return WaitUntil([&] { return CountOf(Take().lines, text) > 0; }); }
};
// New main-log lines since the last read.
inline Lines TakeLog() { return MainLog().Take().lines; }

}  // namespace lb
