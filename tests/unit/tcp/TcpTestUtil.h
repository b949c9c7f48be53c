#pragma once
// Loopback peers for the TCP relay tests: a target server, blocking clients and the main log's lines.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tcptest {

// A connected or listening descriptor that closes itself.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd = o.fd;
            o.fd = -1;
        }
        return *this;
    }
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

// Connects to addr:port (an IPv4 or IPv6 literal); -1 on failure.
int Connect(const char* addr, int port);
// The local or remote port of a socket.
int LocalPort(int fd);
bool SendAll(int fd, const std::string& data);
// Reads until n bytes arrived or the peer closed; whatever came.
std::string RecvN(int fd, size_t n);
// Reads until the peer closes (or 5 s pass).
std::string RecvAll(int fd);
// A port number nobody listens on.
int FreePort(const char* addr);

// A target: accepts on addr (port chosen by the system) and serves each connection in a thread of
// its own with handler (default: echo everything until the peer closes).
class Server {
public:
    using Handler = std::function<void(int fd)>;
    explicit Server(const char* addr, Handler handler = {});
    ~Server();
    int Port() const { return m_Port; }
    int Accepted() const { return m_Accepted.load(); }
    static void Echo(int fd);

private:
    Fd m_Listen;
    int m_Port = 0;
    Handler m_Handler;
    std::atomic<int> m_Accepted{0};
    std::atomic<bool> m_Run{true};
    std::mutex m_Lock;
    std::vector<int> m_Open;
    std::vector<std::thread> m_Threads;
    std::thread m_Acceptor;
};

// The main log's queued lines without their time stamps (waits up to 5 s until pred holds).
std::vector<std::string> Lines();
std::vector<std::string> WaitLines(const std::function<bool(const std::vector<std::string>&)>& pred);
// Waits until some line equals text; returns every line seen meanwhile.
std::vector<std::string> WaitLine(const std::string& text);
size_t CountOf(const std::vector<std::string>& lines, const std::string& text);
std::string RandomBytes(size_t n, unsigned seed);

}  // namespace tcptest
