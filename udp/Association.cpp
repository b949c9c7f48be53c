#include "udp/Association.h"

#include <sys/socket.h>

#include <cerrno>
#include <vector>

#include "config/ErrorXML.h"
#include "daemon/VEXAProxy.h"
#include "udp/DatagramPort.h"

namespace {
constexpr int kRecvCli = 31999;  // largest target datagram; one byte left for the terminating zero
}  // namespace

Association::Association(const SockAddr& client, const LocalAddr& at, DatagramPort* port)
    : m_Port(port),
      m_Thread(port->CliText(L"::WinSockProc").ToStr(), &WinSockProc, this),
      m_AddrCli(client),
      m_AddrLocal(at),
      m_TimeLast(Clock::Now()),
      m_Exchange(m_TimeLast) {}

Association::~Association() { Stop(); }

bool Association::Start() {
    const DatagramPort& port = *m_Port;
    const DBString failed = port.CliText(L"::Start ");
    try {
        if (!port.m_TargetIPv6) {
            int rc = net::ResolveFirst(port.m_IPRemote, port.m_PortRemote, AF_INET, SOCK_DGRAM, m_AddrSrv);
            if (rc == net::kNoAddress) throw ErrorXML(L"paiList == 0", 0);
            if (rc != 0) throw ErrorXML(L"getaddrinfo()", rc);
        } else {
            m_AddrSrv = net::ParseIPv6Target(port.m_IPRemote, port.m_PortRemote);
        }
    } catch (const ErrorXML& e) {
        _Modul.m_Log.PutErr((failed + e.m_Text).c_str(), e.m_Code);
        PutLog(L"connect");
        return true;
    }
    const int family = m_AddrSrv.Family();
    Socket sock(net::OpenSocket(family, SOCK_DGRAM));
    if (!sock.IsOpen()) {
        _Modul.m_Log.PutErr((failed + L"socket()").c_str(), errno);
        return false;
    }
    if (net::Bind(sock.Fd(), SockAddr::Any(family, 0)) != 0) {
        const int err = errno;
        _Modul.m_Log.PutErr((failed + (family == AF_INET ? L"bind(0.0.0.0:0)" : L"bind(0:0)")).c_str(), err);
        return false;
    }
    m_Connected = ::connect(sock.Fd(), m_AddrSrv.Raw(), m_AddrSrv.Len()) == 0;
    m_Socket = std::move(sock);
    m_Run = true;
    if (!m_Thread.Start(0, 0)) {
        m_Run = false;
        m_Socket.Close();
        return false;
    }
    PutLog(L"connect");
    return true;
}

void Association::SetID(int id) {
    m_ID = id;
    m_Str = m_Port->CliPrefix(id) + m_AddrCli.ToLog();
}

void Association::PutLog(const wchar_t* text) const { _Modul.m_Log.Put(m_Str, text); }

void Association::SendToSrv(const char* buf, int len) {
    m_Port->m_Traffic.Add(1, 0);
    ssize_t n;
    if (!m_Connected) {
        n = m_Socket.SendTo(buf, static_cast<size_t>(len), m_AddrSrv);
    } else {
        n = m_Socket.Send(buf, static_cast<size_t>(len));
        // The error of an earlier datagram, reported now: this one has not gone yet.
        if (n < 0 && IsTargetHiccup(errno)) n = m_Socket.Send(buf, static_cast<size_t>(len));
    }
    if (n < 0) {
        const int err = errno;
        m_Port->m_Traffic.TakeBack(1, 0);
        _Modul.m_Log.PutErr(m_Port->CliText(L"::SendToSrv::Send sendto()").c_str(), err);
    }
}

void Association::Stop() {
    // m_Run goes first, so the receive loop woken by the close ends without a "disconnect" line.
    m_Run = false;
    m_Socket.Close();
    // Also after the loop ended by itself: it may still be on its way out, and the pool must have
    // let go of this (procedure, association) pair before the memory can be reused.
    m_Thread.Stop();
}

const wchar_t* Association::SweepReason(int64_t now) const {
    if (!m_Run) return L"deleted because closed";
    if (now - m_TimeLast > m_Port->m_IdleLimit) return L"deleted because long idle";
    return nullptr;
}

EvictRank Association::Rank(int64_t now, bool) const { return m_Exchange.Rank(now, m_Run); }

void Association::PaceLog() { _Modul.m_Log.Pace(); }

void Association::PutLine(const DBString& text) { _Modul.m_Log.Put(text.c_str()); }

bool Association::WinSockProc(void* arg) {
    auto* cli = static_cast<Association*>(arg);
    std::vector<char> buffer(kRecvCli + 1);
    SockAddr from;
    while (cli->m_Run) {
        const ssize_t n = cli->m_Socket.RecvFrom(buffer.data(), kRecvCli, from);
        const int err = errno;
        if (!cli->m_Run) break;
        if (n < 0 && IsTargetHiccup(err)) continue;
        if (n == 0 || (n < 0 && (err == ECONNABORTED || err == ECONNRESET))) {
            cli->PutLog(L"disconnect");
            break;
        }
        if (n < 0) {
            _Modul.m_Log.PutErr((cli->m_Str + cli->m_Port->Texts().recvText).c_str(), err);
            break;
        }
        buffer[static_cast<size_t>(n)] = 0;
        const int64_t now = Clock::Now();
        cli->m_TimeLast = now;
        cli->m_Exchange.FromTarget(now);
        cli->m_Port->Replying(*cli, buffer.data(), static_cast<int>(n), from);
        cli->m_Port->SendToCli(buffer.data(), static_cast<int>(n), cli->m_AddrCli, cli->m_AddrLocal);
    }
    // The reader ends, so does its socket: sends of the client's datagrams fail until the sweep
    // removes the association.
    cli->m_Socket.Close();
    cli->m_Run = false;
    return true;
}
