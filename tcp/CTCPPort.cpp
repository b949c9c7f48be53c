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
        port->m_CliTab.Insert(std::make_unique<TCPCliT<AF>>(fd, from), port);
    }
    return true;
}

template <int AF>
bool TCPPortT<AF>::TimerClose(void* arg) {
    static_cast<TCPPortT*>(arg)->m_CliTab.DeleteCloseOrOld();
    return true;
}

template <int AF>
void TCPCliTabT<AF>::Insert(std::unique_ptr<Cli> cli, Port* port) {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    m_LastID = m_LastID < kMaxID ? m_LastID + 1 : 1;
    Cli* c = cli.get();
    m_Conns.push_back(std::move(cli));
    c->m_Port = port;
    c->SetID(m_LastID);
    // Logged before the client side runs, so that "connect" precedes every other line of it.
    c->PutLog(L"connect");
    c->Start(port);
}

template <int AF>
void TCPCliTabT<AF>::DeleteCloseOrOld() {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    for (auto it = m_Conns.begin(); it != m_Conns.end();) {
        Cli& c = **it;
        int64_t now = Clock::Now();
        int64_t open = now - c.m_TimeOpen;
        int64_t idle = now - c.m_TimeLast.load();
        if (idle <= kIdleLimit && open <= kOpenLimit) {
            ++it;
            continue;
        }
        _Modul.m_Log.Pace();
        c.PutLog(open > kOpenLimit ? L"deleted because long open" : L"deleted because long idle");
        c.Stop();
        it = m_Conns.erase(it);
    }
}

template <int AF>
void TCPCliTabT<AF>::Clear() {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    for (auto& c : m_Conns) c->Stop();
    m_Conns.clear();
}

template <int AF>
size_t TCPCliTabT<AF>::Count() {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_Conns.size();
}

template class TCPCliTabT<AF_INET>;
template class TCPCliTabT<AF_INET6>;
template class TCPPortT<AF_INET>;
template class TCPPortT<AF_INET6>;
