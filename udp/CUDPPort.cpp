#include "udp/CUDPPort.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "config/ErrorXML.h"
#include "daemon/VEXAProxy.h"
#include "util/Clock.h"

namespace {
constexpr int kRecvPort = 32000;  // largest client datagram taken in one piece
constexpr int kRecvCli = 31999;   // largest target datagram; one byte left for the terminating zero

// Log texts start with the class name of the family: "CUDPCli::...", "CUDPv6Cli::...".
DBString Name(const char* cls, const wchar_t* rest) {
    return DBString(cls) + rest;
}

typename UDPFamily<AF_INET>::Key KeyOf(const SockAddr& a, std::integral_constant<int, AF_INET>) {
    return CUDPPort::CreateLong(static_cast<int>(a.V4().sin_addr.s_addr), a.Port());
}

typename UDPFamily<AF_INET6>::Key KeyOf(const SockAddr& a, std::integral_constant<int, AF_INET6>) {
    return KeyIPv6(a.V6().sin6_addr, a.Port());
}

// Wakes a receive blocked on fd without giving the descriptor number away: the descriptor is closed
// only after the receiving thread has ended, so no other socket can take its number meanwhile.
void Shutdown(const Socket& s) {
    int fd = s.Fd();
    if (fd != -1) ::shutdown(fd, SHUT_RDWR);
}
}  // namespace

// ---------------------------------------------------------------------------------------------------
// Association

template <int Family>
UDPCliT<Family>::UDPCliT(const SockAddr& client, Port* port)
    : m_Thread(std::string(UDPFamily<Family>::kCli) + "::WinSockProc", &WinSockProc, this),
      m_Port(port),
      m_AddrCli(client),
      m_TimeOpen(Clock::Now()),
      m_TimeLast(m_TimeOpen) {}

template <int Family>
UDPCliT<Family>::~UDPCliT() {
    Stop();
}

template <int Family>
bool UDPCliT<Family>::Start() {
    const Port& port = *m_Port;
    try {
        if (port.m_TypIP == Port::IPv4) {
            int rc = net::ResolveFirst(port.m_IPRemote, port.m_PortRemote, AF_INET, SOCK_DGRAM, m_AddrSrv);
            if (rc == net::kNoAddress) throw ErrorXML(L"paiList == 0", 0);
            if (rc != 0) throw ErrorXML(L"getaddrinfo()", rc);
        } else {
            m_AddrSrv = net::ParseIPv6Target(port.m_IPRemote, port.m_PortRemote);
        }
        const int family = m_AddrSrv.Family();
        int fd = net::OpenSocket(family, SOCK_DGRAM);
        if (fd < 0) {
            int e = errno;
            throw ErrorXML(L"socket()", e);
        }
        m_Socket.Reset(fd);
        if (net::Bind(fd, SockAddr::Any(family, 0)) != 0) {
            int e = errno;
            m_Socket.Close();
            throw ErrorXML(family == AF_INET ? L"bind(0.0.0.0:0)" : L"bind(0:0)", e);
        }
        m_Run = true;
        m_Thread.Start(0, 0);
    } catch (const ErrorXML& e) {
        if (!e.m_Text.empty())
            _Modul.m_Log.PutErr((Name(UDPFamily<Family>::kCli, L"::Start ") + e.m_Text).c_str(), e.m_Code);
    }
    return m_Run;
}

template <int Family>
void UDPCliT<Family>::SetID(int id) {
    m_ID = id;
    m_Str = DBString().Format(L"%ls %05d %05d ", UDPFamily<Family>::kTag, m_Port->m_PortLocal, id) + m_AddrCli.ToLog();
}

template <int Family>
void UDPCliT<Family>::PutLog(const wchar_t* text) const {
    _Modul.m_Log.Put((m_Str + text).c_str());
}

template <int Family>
void UDPCliT<Family>::SendToSrv(const char* buffer, int length) {
    if (net::SendTo(m_Socket.Fd(), buffer, static_cast<size_t>(length), m_AddrSrv) < 0) {
        int e = errno;
        _Modul.m_Log.PutErr(Name(UDPFamily<Family>::kCli, L"::SendToSrv::Send sendto()").c_str(), e);
    }
}

template <int Family>
void UDPCliT<Family>::Stop() {
    // m_Run goes first, so the receive loop woken by the shutdown ends without a "disconnect" line.
    m_Run = false;
    Shutdown(m_Socket);
    // Also after the loop ended by itself: it may still be on its way out, and the pool must have
    // let go of this (procedure, association) pair before the memory can be reused.
    m_Thread.Stop();
    m_Socket.Close();
}

template <int Family>
bool UDPCliT<Family>::WinSockProc(void* arg) {
    auto* cli = static_cast<UDPCliT*>(arg);
    std::vector<char> buffer(kRecvCli + 1);
    while (cli->m_Run) {
        ssize_t n = net::Recv(cli->m_Socket.Fd(), buffer.data(), kRecvCli);
        if (!cli->m_Run) break;
        if (n == 0 || (n < 0 && (errno == ECONNABORTED || errno == ECONNRESET))) {
            cli->PutLog(L"disconnect");
            break;
        }
        if (n < 0) {
            int e = errno;
            _Modul.m_Log.PutErr((cli->m_Str + L"recv(m_Socket) error").c_str(), e);
            break;
        }
        buffer[static_cast<size_t>(n)] = 0;
        cli->m_TimeLast = Clock::Now();
        cli->m_Port->SendToCli(buffer.data(), static_cast<int>(n), cli->m_AddrCli);
    }
    // Sends of the client's datagrams now fail until the sweep removes the association; the
    // descriptor itself is closed by Stop.
    Shutdown(cli->m_Socket);
    cli->m_Run = false;
    return true;
}

// ---------------------------------------------------------------------------------------------------
// Table

template <int Family>
void UDPCliTabT<Family>::RecvFromCli(const char* buffer, int length, const SockAddr& from, UDPPortT<Family>* port) {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    Key key = KeyOf(from, std::integral_constant<int, Family>());
    auto it = m_Clis.find(key);
    if (it == m_Clis.end()) {
        m_LastID = m_LastID < 99999 ? m_LastID + 1 : 1;
        auto cli = std::make_unique<Cli>(from, port);
        // Numbered before its thread starts, so every line of the thread carries the prefix.
        cli->SetID(m_LastID);
        it = m_Clis.emplace(key, std::move(cli)).first;
        // A failed start is logged by Start; the association stays, closed, until the sweep.
        it->second->Start();
        it->second->PutLog(L"connect");
    }
    it->second->SendToSrv(buffer, length);
}

template <int Family>
void UDPCliTabT<Family>::DeleteCloseOrOld() {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    const int64_t now = Clock::Now();
    for (auto it = m_Clis.begin(); it != m_Clis.end();) {
        Cli& cli = *it->second;
        const wchar_t* reason = nullptr;
        if (!cli.m_Run)
            reason = L"deleted because closed";
        else if (now - cli.m_TimeLast > kIdleLimit)
            reason = L"deleted because long idle";
        if (reason == nullptr) {
            ++it;
            continue;
        }
        _Modul.m_Log.Pace();
        cli.PutLog(reason);
        cli.Stop();
        it = m_Clis.erase(it);
    }
}

template <int Family>
void UDPCliTabT<Family>::Clear() {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    for (auto& entry : m_Clis) entry.second->Stop();
    m_Clis.clear();
}

template <int Family>
size_t UDPCliTabT<Family>::Count() {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_Clis.size();
}

// ---------------------------------------------------------------------------------------------------
// Port

template <int Family>
UDPPortT<Family>::UDPPortT()
    : m_ThreadRecv(std::string(Traits::kPort) + "::WinSockProc", &WinSockProc, this),
      m_ThreadTimer(std::string(Traits::kPort) + "::TimerClose", &TimerClose, this) {}

template <int Family>
UDPPortT<Family>::~UDPPortT() {
    Stop();
}

template <int Family>
int64_t UDPPortT<Family>::CreateLong(int a, int b) {
    return (static_cast<int64_t>(a) << 16) | static_cast<int64_t>(b);
}

template <int Family>
void UDPPortT<Family>::Start(int portLocal, int portRemote, const char* ipRemote, typIP typ, int echo) {
    m_PortLocal = portLocal;
    m_PortRemote = portRemote;
    m_IPRemote = ipRemote ? ipRemote : "";
    m_TypIP = typ;
    m_Echo = echo;
    m_Run = false;
    DBString text;
    if (Bind(text) != 0) return;
    m_Run = true;
    m_ThreadRecv.Start(0, 0);
    m_ThreadTimer.Start(8000, 8000);
}

template <int Family>
int UDPPortT<Family>::Bind(DBString&) {
    int fd = net::OpenSocket(Family, SOCK_DGRAM);
    if (fd < 0) {
        int e = errno;
        _Modul.m_Log.PutErr(Name(Traits::kPort, L"::Bind(): socket()").c_str(), e);
        return e;
    }
    if (net::Bind(fd, SockAddr::Any(Family, m_PortLocal)) != 0) {
        int e = errno;
        Socket(fd).Close();
        _Modul.m_Log.PutErr(Name(Traits::kPort, L"::Bind(): bind()").c_str(), e);
        return e;
    }
    m_Socket.Reset(fd);
    return 0;
}

template <int Family>
void UDPPortT<Family>::Stop() {
    m_ThreadTimer.Stop();
    if (m_Run.exchange(false)) {
        // Under the mutex: the receive thread may be re-opening the socket right now.
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        Shutdown(m_Socket);
    }
    m_ThreadRecv.Stop();
    m_CliTab.Clear();
    // Closed last: the association threads send their replies through it until they have ended.
    m_Socket.Close();
}

template <int Family>
void UDPPortT<Family>::SendToCli(const char* buffer, int length, const SockAddr& to) {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    if (net::SendTo(m_Socket.Fd(), buffer, static_cast<size_t>(length), to) < 0) {
        int e = errno;
        _Modul.m_Log.PutErr(Name(UDPFamily<Family>::kCli, L"::SendToCli::Send sendto()").c_str(), e);
    }
}

template <int Family>
bool UDPPortT<Family>::WinSockProc(void* arg) {
    auto* port = static_cast<UDPPortT*>(arg);
    std::vector<char> buffer(kRecvPort);
    SockAddr from;
    while (port->m_Run) {
        ssize_t n = net::RecvFrom(port->m_Socket.Fd(), buffer.data(), kRecvPort, from);
        if (!port->m_Run) return true;
        if (n > 0) {
            if (port->m_Echo >= 0) {
                DBString title = DBString().Format(L"%ls %05d", Traits::kTag, port->m_PortLocal) + from.ToLog();
                _Modul.m_Log.PutMes(title.c_str(), reinterpret_cast<const unsigned char*>(buffer.data()),
                                    static_cast<int>(n));
                if (net::SendTo(port->m_Socket.Fd(), buffer.data(), static_cast<size_t>(n), from) < 0)
                    _Modul.m_Log.PutErr(L"CUDPv6Cli::WinSockProc sendto()", errno);
            } else {
                port->m_CliTab.RecvFromCli(buffer.data(), static_cast<int>(n), from, port);
            }
            continue;
        }
        if (n == 0) continue;  // an empty datagram carries nothing to relay
        if (errno == ENETRESET || errno == ECONNRESET) continue;
        _Modul.m_Log.PutErr(L"CReceivRM::WinSockProc recvfrom()", errno);
        std::lock_guard<std::recursive_mutex> lock(port->m_Mutex);
        port->m_Socket.Close();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        DBString text;
        if (port->Bind(text) != 0) return true;
    }
    return true;
}

template <int Family>
bool UDPPortT<Family>::TimerClose(void* arg) {
    static_cast<UDPPortT*>(arg)->m_CliTab.DeleteCloseOrOld();
    return true;
}

template class UDPCliT<AF_INET>;
template class UDPCliT<AF_INET6>;
template class UDPCliTabT<AF_INET>;
template class UDPCliTabT<AF_INET6>;
template class UDPPortT<AF_INET>;
template class UDPPortT<AF_INET6>;
