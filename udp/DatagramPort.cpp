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
      m_ThreadRecv(std::string(names.port) + "::WinSockProc", &WinSockProc, this) {}

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
    Run({&m_ThreadRecv});
}

int DatagramPort::Bind() {
    const DBString cls(m_Names.port);
    SockAddr at;
    if (!ListenAt(m_Names.kind == RuleKind::UDPv6 ? AF_INET6 : AF_INET, m_PortLocal, at)) return EINVAL;
    return OpenBound(m_Socket, at, SOCK_DGRAM, {cls + L"::Bind(): socket()", cls + L"::Bind(): bind()", {}});
}

void DatagramPort::Stop() {
    // The flag first: the receive loop woken by the shutdown ends instead of re-opening.
    Halt({&m_ThreadRecv}, [this] { m_Socket.Shutdown(); });
    m_CliTab.Clear();
    // Closed last: the association threads send their replies through it until they have ended.
    m_Socket.Close();
}

DBString DatagramPort::CliPrefix(int id) const {
    return RuleName(m_Names.kind, m_PortLocal) + DBString().Format(L" %05d ", id);
}

void DatagramPort::Replying(const Association&, const char*, int, const SockAddr&) {}

void DatagramPort::SendToCli(const char* buf, int len, const SockAddr& to) {
    m_Traffic.Add(0, 1);
    if (m_Socket.SendTo(buf, static_cast<size_t>(len), to) < 0) {
        const int err = errno;
        m_Traffic.TakeBack(0, 1);
        _Modul.m_Log.PutErr(CliText(L"::SendToCli::Send sendto()").c_str(), err);
    }
}

DatagramPort::CliTab::Held DatagramPort::Associate(const SockAddr& from) {
    // A new client is numbered before its thread starts, so every line of the thread carries the
    // prefix.
    return m_CliTab.Hold(ClientKey::Of(from), [&] { return std::make_unique<Association>(from, this); });
}

void DatagramPort::RecvFromCli(char* buf, int len, int, const SockAddr& from) {
    if (m_Echo >= 0) {
        _Modul.m_Log.PutMes(net::EchoTitle(RuleKindText(m_Names.kind), m_PortLocal, from),
                            reinterpret_cast<const unsigned char*>(buf), len);
        m_Traffic.Add(1, 1);
        if (m_Socket.SendTo(buf, static_cast<size_t>(len), from) < 0) {
            const int err = errno;
            m_Traffic.TakeBack(1, 1);
            _Modul.m_Log.PutErr(L"CUDPv6Cli::WinSockProc sendto()", err);
        }
        return;
    }
    auto cli = Associate(from);
    if (!cli) {
        m_CliTab.Dropped();
        return;
    }
    cli->FromClient();
    cli->SendToSrv(buf, len);
}

bool DatagramPort::WinSockProc(void* arg) {
    auto* port = static_cast<DatagramPort*>(arg);
    std::vector<char> buffer(kRecvPort);
    DatagramLoop(
        port->m_Socket, [port] { return port->m_Run.load(); }, buffer.data(), buffer.size(),
        [port, &buffer](char* buf, size_t n, const SockAddr& from) {
            if (!port->Admits(from)) return;
            port->RecvFromCli(buf, static_cast<int>(n), static_cast<int>(buffer.size()), from);
        },
        [](int err) { _Modul.m_Log.PutErr(L"CReceivRM::WinSockProc recvfrom()", err); },
        [port] { return port->Bind() == 0; });
    return true;
}
