#include "dns/CDNSPort.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config/CConfigProxy.h"
#include "daemon/VEXAProxy.h"
#include "dns/CDNSLog.h"
#include "udp/Association.h"
#include "util/Clock.h"
#include "util/DatagramLoop.h"

namespace {
constexpr int kBufSize = 32000;

unsigned char* Bytes(char* buf) { return reinterpret_cast<unsigned char*>(buf); }
}  // namespace

// ---------------------------------------------------------------------------------------------
// CDNSCli

CDNSCli::CDNSCli(sockaddr_in client, CDNSPort* port)
    : m_Thread("CDNSCli::WinSockProc", &CDNSCli::WinSockProc, this),
      m_Port(port),
      m_AddrCli(client),
      m_TimeLast(Clock::Now()) {}

CDNSCli::~CDNSCli() { Stop(); }

bool CDNSCli::Start() {
    SockAddr srv;
    int rc = net::ResolveFirst(m_Port->Server(), m_Port->SrvPort(), AF_INET, SOCK_DGRAM, srv);
    if (rc != 0) {
        // No server: the association stays, closed and holding nothing, until the sweep; the
        // configuration's names are still answered to its client meanwhile.
        if (rc == net::kNoAddress)
            _Modul.m_Log.PutErr(L"CDNSCli::Start paiList == 0", 0);
        else
            _Modul.m_Log.PutErr(L"CDNSCli::Start getaddrinfo()", rc);
        PutLog(L"connect");
        return true;
    }
    m_AddrSrv = srv;
    if (!OpenAssociation(AF_INET, m_Socket, m_Thread, m_Run, L"CDNSCli::Start ")) return false;
    PutLog(L"connect");
    return true;
}

void CDNSCli::SetID(int id) {
    m_ID = id;
    m_Str.Format(L"DNS%05d %05d ", m_Port ? m_Port->PortLocal() : 53, id);
    m_Str += m_AddrCli.ToLog();
}

void CDNSCli::PutLog(const wchar_t* text) const { _Modul.m_Log.Put(m_Str, text); }

void CDNSCli::SendToSrv(char* buf, int len) {
    if (m_Socket.SendTo(buf, static_cast<size_t>(len), m_AddrSrv) < 0)
        _Modul.m_Log.PutErr(L"CDNSCli::SendToSrv::Send sendto()", errno);
}

void CDNSCli::Stop() {
    // The flag goes first, so that the receive loop woken by the close ends silently instead of
    // reporting a "disconnect".
    m_Run = false;
    m_Socket.Close();
    m_Thread.Stop();
}

const wchar_t* CDNSCli::SweepReason(int64_t now) const {
    if (!m_Run) return L"deleted because closed";
    if (now - m_TimeLast >= kIdleLimit) return L"deleted because long idle";
    return nullptr;
}

int64_t CDNSCli::Quiet(int64_t now) const { return m_Run ? now - m_TimeLast : CDNSCliTab::kEnded; }

void CDNSCli::PaceLog() { _Modul.m_Log.Pace(); }

bool CDNSCli::WinSockProc(void* arg) {
    auto* cli = static_cast<CDNSCli*>(arg);
    char buf[kBufSize];
    SockAddr from;
    while (cli->m_Run) {
        ssize_t n = cli->m_Socket.RecvFrom(buf, kBufSize - 1, from);
        int err = errno;
        if (!cli->m_Run) break;
        if (n > 0) {
            int len = static_cast<int>(n);
            buf[len] = 0;
            cli->m_TimeLast = Clock::Now();
            _Modul.m_LogDNS.Put(CDNSLog::typRecv, Bytes(buf), len, cli->m_ID, from.V4());
            _Modul.m_LogDNS.Put(CDNSLog::typSend, Bytes(buf), len, cli->m_ID, cli->m_AddrCli.V4());
            cli->m_Port->SendToCli(buf, len, cli->m_AddrCli.V4());
            continue;
        }
        if (n == 0 || err == ECONNABORTED || err == ECONNRESET)
            cli->PutLog(L"disconnect");
        else
            _Modul.m_Log.PutErr((cli->m_Str + L"recvfrom(m_Socket) error").c_str(), err);
        break;
    }
    cli->m_Socket.Close();
    cli->m_Run = false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// CDNSPort

int CDNSPort::LocalAnswer(unsigned char* buf, int len) {
    // Flags are only meaningful in a full header; anything shorter is passed on untouched.
    if (len < 12 || (buf[2] & 0x01) == 0) return 0;
    for (const auto& node : _Modul.m_Cfg.m_Nodes) {
        if (!node || node->TypNode() != CProxyDNS::kTypNode) continue;
        const auto& dns = static_cast<const CProxyDNS&>(*node);
        // A name too long for the answer image has none: its queries go to the server rather than
        // getting a bare header back.
        if (dns.m_LenAnswer == 0 || dns.m_LenQuestion + 4 != static_cast<unsigned long>(len)) continue;
        if (std::memcmp(buf + 4, dns.m_Question, dns.m_LenQuestion) != 0) continue;
        buf[2] = static_cast<unsigned char>((buf[2] & 0xFE) | 0x80);
        std::memcpy(buf + 4, dns.m_Answer, dns.m_LenAnswer);
        return static_cast<int>(dns.m_LenAnswer) + 4;
    }
    return 0;
}

void CDNSPort::RecvFromCli(char* buf, int len, sockaddr_in from) {
    int64_t key = CreateLong(static_cast<int>(from.sin_addr.s_addr), ntohs(from.sin_port));
    // Under the table lock, so the sweep cannot remove the association meanwhile. Each sent
    // datagram is logged before the send, so that an answer, logged by another thread, can never
    // appear in the DNS log ahead of the query it answers.
    m_CliTab.Deliver(
        key, [&] { return std::make_unique<CDNSCli>(from, this); },
        [&](CDNSCli& cli) {
            _Modul.m_LogDNS.Put(CDNSLog::typRecv, Bytes(buf), len, cli.ID(), from);
            int answer = LocalAnswer(Bytes(buf), len);
            if (answer > 0) {
                _Modul.m_LogDNS.Put(CDNSLog::typSend, Bytes(buf), answer, cli.ID(), cli.AddrCli().V4());
                SendToCli(buf, answer, cli.AddrCli().V4());
                return;
            }
            _Modul.m_LogDNS.Put(CDNSLog::typSend, Bytes(buf), len, cli.ID(), cli.AddrSrv().V4());
            cli.SendToSrv(buf, len);
        });
}

CDNSPort::CDNSPort()
    : m_ThreadRecv("CDNSPort::WinSockProc", &CDNSPort::WinSockProc, this),
      m_ThreadTimer("CDNSPort::TimerClose", &CDNSPort::TimerClose, this) {}

CDNSPort::~CDNSPort() { Stop(); }

int64_t CDNSPort::CreateLong(int a, int b) { return (static_cast<int64_t>(a) << 16) | static_cast<int64_t>(b); }

void CDNSPort::Start(const char* server, int port, int srvPort) {
    m_Srv = server ? server : "";
    m_PortLocal = port;
    m_PortSrv = srvPort;
    m_Run = false;
    DBString text;
    if (Bind(text) != 0) return;
    m_Run = true;
    m_ThreadRecv.Start(0, 0);
    m_ThreadTimer.Start(8000, 8000);
}

int CDNSPort::Bind(DBString&) {
    int fd = net::OpenSocket(AF_INET, SOCK_DGRAM);
    if (fd < 0) {
        int err = errno;
        _Modul.m_Log.PutErr(L"CDNSPort::Bind(): socket()", err);
        return err;
    }
    if (net::Bind(fd, SockAddr::Any(AF_INET, m_PortLocal)) != 0) {
        int err = errno;
        ::close(fd);
        _Modul.m_Log.PutErr(L"CDNSPort::Bind(): bind()", err);
        return err;
    }
    m_Socket.Reset(fd);
    return 0;
}

void CDNSPort::Stop() {
    m_ThreadTimer.Stop();
    if (m_Run.exchange(false)) {
        m_Socket.Shutdown();
        m_ThreadRecv.Stop();
    }
    m_CliTab.Clear();
    // Closed last: the association threads send their answers through it until they have ended.
    m_Socket.Close();
}

void CDNSPort::SendToCli(char* buf, int len, sockaddr_in to) {
    if (m_Socket.SendTo(buf, static_cast<size_t>(len), SockAddr(to)) < 0)
        _Modul.m_Log.PutErr(L"CDNSCli::SendToCli::Send sendto()", errno);
}

bool CDNSPort::WinSockProc(void* arg) {
    auto* port = static_cast<CDNSPort*>(arg);
    char buf[kBufSize];
    DatagramLoop(
        port->m_Socket, [port] { return port->m_Run.load(); }, buf, kBufSize,
        [port](char* data, size_t n, const SockAddr& from) { port->RecvFromCli(data, static_cast<int>(n), from.V4()); },
        [](int err) { _Modul.m_Log.PutErr(L"CReceivRM::WinSockProc recvfrom()", err); },
        [port] {
            DBString text;
            return port->Bind(text) == 0;
        });
    return true;
}

bool CDNSPort::TimerClose(void* arg) {
    static_cast<CDNSPort*>(arg)->m_CliTab.DeleteCloseOrOld();
    return true;
}
