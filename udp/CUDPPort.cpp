#include "udp/CUDPPort.h"

#include <sys/socket.h>

#include <cerrno>
#include <vector>

#include "config/ErrorXML.h"
#include "daemon/VEXAProxy.h"
#include "udp/Association.h"
#include "util/Clock.h"
#include "util/DatagramLoop.h"

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

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Association

template <int Family>
UDPCliT<Family>::UDPCliT(const SockAddr& client, Port* port)
    : m_Thread(std::string(UDPFamily<Family>::kCli) + "::WinSockProc", &WinSockProc, this),
      m_Port(port),
      m_AddrCli(client),
      m_TimeOpen(Clock::Now()),
      m_TimeLast(m_TimeOpen),
      m_Exchange(m_TimeOpen) {}

template <int Family>
UDPCliT<Family>::~UDPCliT() {
    Stop();
}

template <int Family>
bool UDPCliT<Family>::Start() {
    const Port& port = *m_Port;
    const DBString failed = Name(UDPFamily<Family>::kCli, L"::Start ");
    try {
        if (port.m_TypIP == Port::IPv4) {
            int rc = net::ResolveFirst(port.m_IPRemote, port.m_PortRemote, AF_INET, SOCK_DGRAM, m_AddrSrv);
            if (rc == net::kNoAddress) throw ErrorXML(L"paiList == 0", 0);
            if (rc != 0) throw ErrorXML(L"getaddrinfo()", rc);
        } else {
            m_AddrSrv = net::ParseIPv6Target(port.m_IPRemote, port.m_PortRemote);
        }
    } catch (const ErrorXML& e) {
        // No target: the association stays, closed and holding nothing, until the sweep.
        _Modul.m_Log.PutErr((failed + e.m_Text).c_str(), e.m_Code);
        PutLog(L"connect");
        return true;
    }
    if (!OpenAssociation(m_AddrSrv, m_Socket, m_Thread, m_Run, failed, m_Connected)) return false;
    PutLog(L"connect");
    return true;
}

template <int Family>
void UDPCliT<Family>::SetID(int id) {
    m_ID = id;
    m_Str = DBString().Format(L"%ls %05d %05d ", UDPFamily<Family>::kTag, m_Port->m_PortLocal, id) + m_AddrCli.ToLog();
}

template <int Family>
void UDPCliT<Family>::PutLog(const wchar_t* text) const {
    _Modul.m_Log.Put(m_Str, text);
}

template <int Family>
void UDPCliT<Family>::SendToSrv(const char* buffer, int length) {
    m_Exchange.FromClient(Clock::Now());
    m_Port->m_Traffic.Add(1, 0);
    if (SendToTarget(m_Socket, m_Connected, m_AddrSrv, buffer, static_cast<size_t>(length)) < 0) {
        int e = errno;
        m_Port->m_Traffic.TakeBack(1, 0);
        _Modul.m_Log.PutErr(Name(UDPFamily<Family>::kCli, L"::SendToSrv::Send sendto()").c_str(), e);
    }
}

template <int Family>
void UDPCliT<Family>::Stop() {
    // m_Run goes first, so the receive loop woken by the close ends without a "disconnect" line.
    m_Run = false;
    m_Socket.Close();
    // Also after the loop ended by itself: it may still be on its way out, and the pool must have
    // let go of this (procedure, association) pair before the memory can be reused.
    m_Thread.Stop();
}

template <int Family>
const wchar_t* UDPCliT<Family>::SweepReason(int64_t now) const {
    if (!m_Run) return L"deleted because closed";
    if (now - m_TimeLast > kIdleLimit) return L"deleted because long idle";
    return nullptr;
}

template <int Family>
EvictRank UDPCliT<Family>::Rank(int64_t now, bool) const {
    return m_Exchange.Rank(now, m_Run);
}

template <int Family>
void UDPCliT<Family>::PaceLog() {
    _Modul.m_Log.Pace();
}

template <int Family>
void UDPCliT<Family>::PutLine(const DBString& text) {
    _Modul.m_Log.Put(text.c_str());
}

template <int Family>
bool UDPCliT<Family>::WinSockProc(void* arg) {
    auto* cli = static_cast<UDPCliT*>(arg);
    std::vector<char> buffer(kRecvCli + 1);
    while (cli->m_Run) {
        ssize_t n = cli->m_Socket.Recv(buffer.data(), kRecvCli);
        if (!cli->m_Run) break;
        if (n < 0 && IsTargetHiccup(errno)) continue;
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
        const int64_t now = Clock::Now();
        cli->m_TimeLast = now;
        cli->m_Exchange.FromTarget(now);
        cli->m_Port->SendToCli(buffer.data(), static_cast<int>(n), cli->m_AddrCli);
    }
    // Sends of the client's datagrams now fail until the sweep removes the association and closes
    // the socket.
    cli->m_Socket.Shutdown();
    cli->m_Run = false;
    return true;
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
    m_CliTab.SetRemembersEvicted(true);
    m_CliTab.SetName(DBString().Format(L"%ls %05d", Traits::kTag, m_PortLocal), L"datagrams dropped: no association for their clients");
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
    // The flag first: the receive loop woken by the shutdown ends instead of re-opening.
    if (m_Run.exchange(false)) m_Socket.Shutdown();
    m_ThreadRecv.Stop();
    m_CliTab.Clear();
    // Closed last: the association threads send their replies through it until they have ended.
    m_Socket.Close();
}

template <int Family>
void UDPPortT<Family>::SendToCli(const char* buffer, int length, const SockAddr& to) {
    m_Traffic.Add(0, 1);
    if (m_Socket.SendTo(buffer, static_cast<size_t>(length), to) < 0) {
        int e = errno;
        m_Traffic.TakeBack(0, 1);
        _Modul.m_Log.PutErr(Name(UDPFamily<Family>::kCli, L"::SendToCli::Send sendto()").c_str(), e);
    }
}

template <int Family>
void UDPPortT<Family>::RecvFromCli(const char* buffer, int length, const SockAddr& from) {
    if (m_Echo >= 0) {
        _Modul.m_Log.PutMes(net::EchoTitle(Traits::kTag, m_PortLocal, from), reinterpret_cast<const unsigned char*>(buffer),
                            length);
        m_Traffic.Add(1, 1);
        if (m_Socket.SendTo(buffer, static_cast<size_t>(length), from) < 0) {
            int e = errno;
            m_Traffic.TakeBack(1, 1);
            _Modul.m_Log.PutErr(L"CUDPv6Cli::WinSockProc sendto()", e);
        }
        return;
    }
    // A new client is numbered before its thread starts, so every line of the thread carries the
    // prefix; the send happens under the table lock, so the sweep cannot remove it meanwhile.
    if (!m_CliTab.Deliver(
            KeyOf(from, std::integral_constant<int, Family>()), [&] { return std::make_unique<UDPCliT<Family>>(from, this); },
            [&](UDPCliT<Family>& cli) { cli.SendToSrv(buffer, length); }))
        m_CliTab.Dropped();
}

template <int Family>
bool UDPPortT<Family>::WinSockProc(void* arg) {
    auto* port = static_cast<UDPPortT*>(arg);
    std::vector<char> buffer(kRecvPort);
    DatagramLoop(
        port->m_Socket, [port] { return port->m_Run.load(); }, buffer.data(), buffer.size(),
        [port](char* buf, size_t n, const SockAddr& from) { port->RecvFromCli(buf, static_cast<int>(n), from); },
        [](int err) { _Modul.m_Log.PutErr(L"CReceivRM::WinSockProc recvfrom()", err); },
        [port] {
            DBString text;
            return port->Bind(text) == 0;
        });
    return true;
}

template <int Family>
bool UDPPortT<Family>::TimerClose(void* arg) {
    static_cast<UDPPortT*>(arg)->m_CliTab.DeleteCloseOrOld();
    return true;
}

template class UDPCliT<AF_INET>;
template class UDPCliT<AF_INET6>;
template class UDPPortT<AF_INET>;
template class UDPPortT<AF_INET6>;
