#include "tcp/CTCPPort.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "daemon/VEXAProxy.h"
#include "util/Clock.h"

namespace {
// accept() failures that only time can cure (descriptor or memory limits): retrying at once would
// spin a core until a connection ends somewhere.
bool IsResourceShortage(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}
constexpr auto kAcceptBackOff = std::chrono::milliseconds(100);
}  // namespace

template <int AF>
TCPPortT<AF>::TCPPortT()
    : m_ThreadAccept(std::string(Family::kPortClass) + "::WinSockAcceptProc", WinSockAcceptProc, this),
      m_ThreadTimer(std::string(Family::kPortClass) + "::TimerClose", TimerClose, this) {}

template <int AF>
TCPPortT<AF>::~TCPPortT() {
    Stop();
}

template <int AF>
void TCPPortT<AF>::Start(int portLocal, int portRemote, const char* ipRemote, const char* httpHost,
                         typIP typ, int echo) {
    m_PortLocal = portLocal;
    m_PortRemote = portRemote;
    m_IPRemote = ipRemote ? ipRemote : "";
    m_HTTPHost = httpHost ? httpHost : "";
    m_TypIP = typ;
    m_Echo = echo;
    Start();
}

template <int AF>
void TCPPortT<AF>::Start() {
    m_Run = false;
    int fd = net::OpenSocket(AF, SOCK_STREAM);
    if (fd < 0) {
        _Modul.m_Log.PutErr(Family::kSocketError, errno);
        return;
    }
    // Connections this port closed linger in TIME_WAIT for a minute; without address reuse a
    // restarted daemon could not bind its port again until they expire. Two live listeners on one
    // port are still refused.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    SockAddr any = SockAddr::Any(AF, m_PortLocal);
    if (net::Bind(fd, any) != 0) {
        int err = errno;
        ::close(fd);
        _Modul.m_Log.PutErr((L" bind(" + any.ToLog() + L") error").c_str(), err);
        return;
    }
    // A deep backlog: with one thread per connection, a burst of clients otherwise waits in SYN
    // retries for whole seconds.
    if (::listen(fd, SOMAXCONN) != 0) {
        int err = errno;
        ::close(fd);
        _Modul.m_Log.PutErr(L" listen() error", err);
        return;
    }
    m_Socket.Reset(fd);
    m_Run = true;
    m_ThreadAccept.Start(0, 0);
    m_ThreadTimer.Start(8000, 8000);
}

template <int AF>
void TCPPortT<AF>::Stop() {
    m_ThreadTimer.Stop();
    if (m_Run.exchange(false)) {
        m_Socket.Close();
        m_ThreadAccept.Stop();
    }
    m_CliTab.Clear();
}

template <int AF>
bool TCPPortT<AF>::WinSockAcceptProc(void* arg) {
    auto* port = static_cast<TCPPortT*>(arg);
    while (port->m_Run) {
        // A full table takes no connection it cannot keep: new clients wait in the listen backlog,
        // as at other relays' connection limits, until one ends or has been quiet long enough to
        // make room. Room is made only for a client that is waiting.
        if (!port->m_CliTab.MakeRoom(false)) {
            if (port->m_Socket.WaitReadable(100) <= 0) continue;
            if (!port->m_Run) return true;
            if (!port->m_CliTab.MakeRoom(true)) {
                port->m_CliTab.WaitForRoom(100);
                continue;
            }
        }
        SockAddr from;
        int fd = port->m_Socket.Accept(from);
        int err = errno;
        if (!port->m_Run) {
            if (fd >= 0) ::close(fd);
            return true;
        }
        if (fd < 0) {
            if (IsResourceShortage(err)) std::this_thread::sleep_for(kAcceptBackOff);
            continue;
        }
        auto cli = std::make_unique<TCPCliT<AF>>(fd, from);
        cli->m_Port = port;
        cli->m_Key = port->m_Accepted++;
        const uint64_t key = cli->m_Key;
        port->m_CliTab.Add(key, std::move(cli), [](TCPCliT<AF>&) {});
    }
    return true;
}

template <int AF>
bool TCPPortT<AF>::TimerClose(void* arg) {
    static_cast<TCPPortT*>(arg)->m_CliTab.DeleteCloseOrOld();
    return true;
}

template class TCPPortT<AF_INET>;
template class TCPPortT<AF_INET6>;
