#include "udp/DatagramPort.h"

#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "daemon/VEXAProxy.h"
#include "util/DatagramLoop.h"

namespace {
constexpr int kRecvPort = 32000;  // largest client datagram taken in one piece
}  // namespace

DatagramPort::DatagramPort(const Names& names)
    : PortBase(names.port, [this] { m_CliTab.DeleteCloseOrOld(); }),
      m_Names(names),
      m_ThreadRecv(std::string(names.port) + "::WinSockProc", &WinSockProc, this),
      m_ThreadRecv6(std::string(names.port) + "::WinSockProc6", &WinSockProc6, this) {}

DatagramPort::~DatagramPort() { Stop(); }

void DatagramPort::Open(int portLocal, int portRemote, const char* ipRemote, bool targetIPv6, int echo) {
    m_PortLocal = portLocal;
    m_PortRemote = portRemote;
    m_IPRemote = ipRemote ? ipRemote : "";
    m_TargetIPv6 = targetIPv6;
    m_Echo = echo;
    m_Run = false;
    m_CliTab.SetRemembersEvicted(true);
    m_CliTab.SetName(RuleName(m_Names.kind, m_PortLocal), m_Names.refusals);
    NameRefusals(RuleName(m_Names.kind, m_PortLocal),
                 m_Names.kind == RuleKind::DNS ? Refusals::kQueries : Refusals::kDatagrams);
    if (Bind() != 0) return;
    // The IPv6 socket is an addition: the IPv4 clients are served even when it cannot be bound.
    if (!m_Local6.empty() && Bind6() == 0) Run({&m_ThreadRecv, &m_ThreadRecv6});
    else Run({&m_ThreadRecv});
}

int DatagramPort::Bind() {
    const DBString cls(m_Names.port);
    SockAddr at;
    if (!ListenAt(m_Names.kind == RuleKind::UDPv6 ? AF_INET6 : AF_INET, m_PortLocal, at)) return EINVAL;
    return OpenBound(m_Socket, at, SOCK_DGRAM, {cls + L"::Bind(): socket()", cls + L"::Bind(): bind()", {}});
}

int DatagramPort::Bind6() {
    const DBString cls(m_Names.port);
    SockAddr at;
    if (!net::ParseLocal(m_Local6, AF_INET6, m_PortLocal, at)) return EINVAL;
    return OpenBound(m_Socket6, at, SOCK_DGRAM, {cls + L"::Bind(): socket()", cls + L"::Bind(): bind()", {}}, true);
}

void DatagramPort::Stop() {
    // The flag first: the receive loop woken by the shutdown ends instead of re-opening.
    Halt({&m_ThreadRecv, &m_ThreadRecv6}, [this] {
        m_Socket.Shutdown();
        m_Socket6.Shutdown();
    });
    m_CliTab.Clear();
    // Closed last: the association threads send their replies through them until they have ended.
    m_Socket.Close();
    m_Socket6.Close();
}

DBString DatagramPort::CliPrefix(int id) const {
    return RuleName(m_Names.kind, m_PortLocal) + DBString().Format(L" %05d ", id);
}

void DatagramPort::Replying(const Association&, const char*, int, const SockAddr&) {}

void DatagramPort::SendToCli(const char* buf, int len, const SockAddr& to, const LocalAddr& from) {
    m_Traffic.Add(0, 1);
    Socket& sock = to.Family() == AF_INET6 && m_Socket6.IsOpen() ? m_Socket6 : m_Socket;
    if (sock.SendTo(buf, static_cast<size_t>(len), to, from) < 0) {
        const int err = errno;
        m_Traffic.TakeBack(0, 1);
        _Modul.m_Log.PutErr(CliText(L"::SendToCli::Send sendto()").c_str(), err);
    }
}

DatagramPort::CliTab::Held DatagramPort::Associate(const SockAddr& from, const LocalAddr& at) {
    // A new client is numbered before its thread starts, so every line of the thread carries the
    // prefix.
    return m_CliTab.Hold(ClientKey::Of(from), [&] { return std::make_unique<Association>(from, at, this); });
}

void DatagramPort::RecvFromCli(char* buf, int len, int, const SockAddr& from, const LocalAddr& at) {
    if (m_Echo >= 0) {
        _Modul.m_Log.PutMes(net::EchoTitle(RuleKindText(m_Names.kind), m_PortLocal, from),
                            reinterpret_cast<const unsigned char*>(buf), len);
        m_Traffic.Add(1, 1);
        if (m_Socket.SendTo(buf, static_cast<size_t>(len), from, at) < 0) {
            const int err = errno;
            m_Traffic.TakeBack(1, 1);
            _Modul.m_Log.PutErr(L"CUDPv6Cli::WinSockProc sendto()", err);
        }
        return;
    }
    auto cli = Associate(from, at);
    if (!cli) {
        m_CliTab.Dropped();
        return;
    }
    cli->FromClient();
    cli->SendToSrv(buf, len);
}

bool DatagramPort::WinSockProc(void* arg) {
    auto* port = static_cast<DatagramPort*>(arg);
    port->Receive(port->m_Socket, &DatagramPort::Bind);
    return true;
}

bool DatagramPort::WinSockProc6(void* arg) {
    auto* port = static_cast<DatagramPort*>(arg);
    port->Receive(port->m_Socket6, &DatagramPort::Bind6);
    return true;
}

void DatagramPort::Receive(Socket& sock, int (DatagramPort::*rebind)()) {
    std::vector<char> buffer(kRecvPort);
    DatagramLoop(
        sock, [this] { return m_Run.load(); }, buffer.data(), buffer.size(),
        [this, &buffer](char* buf, size_t n, const SockAddr& from, const LocalAddr& at) {
            if (!Admits(from)) return;
            RecvFromCli(buf, static_cast<int>(n), static_cast<int>(buffer.size()), from, at);
        },
        [](int err) { _Modul.m_Log.PutErr(L"CReceivRM::WinSockProc recvfrom()", err); },
        [this, rebind] { return (this->*rebind)() == 0; });
}
