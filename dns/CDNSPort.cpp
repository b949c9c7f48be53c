#include "dns/CDNSPort.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "config/CConfigProxy.h"
#include "config/ErrorXML.h"
#include "daemon/VEXAProxy.h"
#include "dns/CDNSLog.h"
#include "util/Clock.h"

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

bool CDNSCli::Start(CDNSPort* port) {
    m_Port = port;
    try {
        SockAddr srv;
        int rc = net::ResolveFirst(port->Server(), port->SrvPort(), AF_INET, SOCK_DGRAM, srv);
        if (rc == net::kNoAddress) throw ErrorXML(L"paiList == 0", 0);
        if (rc != 0) throw ErrorXML(L"getaddrinfo()", rc);
        m_AddrSrv = srv;
        Socket sock(net::OpenSocket(AF_INET, SOCK_DGRAM));
        if (!sock.IsOpen()) throw ErrorXML(L"socket()", errno);
        if (net::Bind(sock.Fd(), SockAddr::Any(AF_INET, 0)) != 0) throw ErrorXML(L"bind(0.0.0.0:0)", errno);
        {
            std::lock_guard<std::mutex> lock(m_SockLock);
            m_Socket.Reset(sock.Release());
        }
        m_Run = true;
        m_Thread.Start(0, 0);
    } catch (const ErrorXML& e) {
        if (!e.m_Text.empty()) _Modul.m_Log.PutErr((L"CDNSCli::Start " + e.m_Text).c_str(), e.m_Code);
    }
    return m_Run;
}

void CDNSCli::SetID(int id) {
    m_ID = id;
    m_Str.Format(L"DNS%05d %05d ", m_Port ? m_Port->PortLocal() : 53, id);
    m_Str += m_AddrCli.ToLog();
}

void CDNSCli::PutLog(const wchar_t* text) const { _Modul.m_Log.Put((m_Str + text).c_str()); }

void CDNSCli::SendToSrv(char* buf, int len) {
    std::lock_guard<std::mutex> lock(m_SockLock);
    if (net::SendTo(m_Socket.Fd(), buf, static_cast<size_t>(len), m_AddrSrv) < 0)
        _Modul.m_Log.PutErr(L"CDNSCli::SendToSrv::Send sendto()", errno);
}

void CDNSCli::Stop() {
    // The flag goes first, so that the receive loop woken by the shutdown ends silently instead of
    // reporting a "disconnect"; the descriptor is closed only once the loop no longer reads it.
    m_Run = false;
    {
        std::lock_guard<std::mutex> lock(m_SockLock);
        if (m_Socket.IsOpen()) ::shutdown(m_Socket.Fd(), SHUT_RDWR);
    }
    m_Thread.Stop();
    std::lock_guard<std::mutex> lock(m_SockLock);
    m_Socket.Close();
}

bool CDNSCli::WinSockProc(void* arg) {
    auto* cli = static_cast<CDNSCli*>(arg);
    char buf[kBufSize];
    SockAddr from;
    while (cli->m_Run) {
        ssize_t n = net::RecvFrom(cli->m_Socket.Fd(), buf, kBufSize - 1, from);
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
    {
        std::lock_guard<std::mutex> lock(cli->m_SockLock);
        cli->m_Socket.ShutdownAndClose();
    }
    cli->m_Run = false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// CDNSCliTab

int CDNSCliTab::LocalAnswer(unsigned char* buf, int len) {
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

void CDNSCliTab::RecvFromCli(char* buf, int len, sockaddr_in from, CDNSPort* port) {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    int64_t key = CDNSPort::CreateLong(static_cast<int>(from.sin_addr.s_addr), ntohs(from.sin_port));
    auto it = m_Clis.find(key);
    if (it == m_Clis.end()) {
        m_LastID = m_LastID < kMaxID ? m_LastID + 1 : 1;
        auto cli = std::make_unique<CDNSCli>(from, port);
        // Numbered before its thread starts, so the thread never sees a half-built prefix. A start
        // that failed leaves it in the table, stopped, until the sweep.
        cli->SetID(m_LastID);
        cli->Start(port);
        cli->PutLog(L"connect");
        it = m_Clis.emplace(key, std::move(cli)).first;
    }
    CDNSCli& cli = *it->second;
    _Modul.m_LogDNS.Put(CDNSLog::typRecv, Bytes(buf), len, cli.ID(), from);

    // Each sent datagram is logged before the send, so that an answer, logged by another thread,
    // can never appear in the DNS log ahead of the query it answers.
    int answer = LocalAnswer(Bytes(buf), len);
    if (answer > 0) {
        _Modul.m_LogDNS.Put(CDNSLog::typSend, Bytes(buf), answer, cli.ID(), cli.AddrCli().V4());
        port->SendToCli(buf, answer, cli.AddrCli().V4());
        return;
    }
    _Modul.m_LogDNS.Put(CDNSLog::typSend, Bytes(buf), len, cli.ID(), cli.AddrSrv().V4());
    cli.SendToSrv(buf, len);
}

void CDNSCliTab::DeleteCloseOrOld() {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    int64_t now = Clock::Now();
    for (auto it = m_Clis.begin(); it != m_Clis.end();) {
        CDNSCli& cli = *it->second;
        bool running = cli.IsRunning();
        if (running && now - cli.TimeLast() < kIdleLimit) {
            ++it;
            continue;
        }
        _Modul.m_Log.Pace();
        cli.PutLog(running ? L"deleted because long idle" : L"deleted because closed");
        cli.Stop();
        it = m_Clis.erase(it);
    }
}

void CDNSCliTab::Clear() {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    for (auto& entry : m_Clis) entry.second->Stop();
    m_Clis.clear();
}

size_t CDNSCliTab::Size() {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_Clis.size();
}

int CDNSCliTab::LastID() {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_LastID;
}

void CDNSCliTab::SetLastID(int id) {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    m_LastID = id;
}

// ---------------------------------------------------------------------------------------------
// CDNSPort

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
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    m_Socket.Reset(fd);
    return 0;
}

void CDNSPort::Stop() {
    m_ThreadTimer.Stop();
    if (m_Run.exchange(false)) {
        {
            std::lock_guard<std::recursive_mutex> lock(m_Mutex);
            if (m_Socket.IsOpen()) ::shutdown(m_Socket.Fd(), SHUT_RDWR);
        }
        m_ThreadRecv.Stop();
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        m_Socket.Close();
    }
    m_CliTab.Clear();
}

void CDNSPort::SendToCli(char* buf, int len, sockaddr_in to) {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    if (net::SendTo(m_Socket.Fd(), buf, static_cast<size_t>(len), SockAddr(to)) < 0)
        _Modul.m_Log.PutErr(L"CDNSCli::SendToCli::Send sendto()", errno);
}

bool CDNSPort::WinSockProc(void* arg) {
    auto* port = static_cast<CDNSPort*>(arg);
    char buf[kBufSize];
    SockAddr from;
    while (port->m_Run) {
        ssize_t n = net::RecvFrom(port->m_Socket.Fd(), buf, kBufSize, from);
        int err = errno;
        if (!port->m_Run) return true;
        if (n > 0) {
            port->m_CliTab.RecvFromCli(buf, static_cast<int>(n), from.V4(), port);
            continue;
        }
        if (n == 0 || err == ENETRESET || err == ECONNRESET) continue;
        _Modul.m_Log.PutErr(L"CReceivRM::WinSockProc recvfrom()", err);
        std::lock_guard<std::recursive_mutex> lock(port->m_Mutex);
        port->m_Socket.Close();
        std::this_thread::sleep_for(std::chrono::seconds(1));  // resumed after signals
        DBString text;
        if (port->Bind(text) != 0) return true;
        // A stop that came during the pause must not leave the new socket bound.
        if (!port->m_Run) {
            port->m_Socket.Close();
            return true;
        }
    }
    return true;
}

bool CDNSPort::TimerClose(void* arg) {
    static_cast<CDNSPort*>(arg)->m_CliTab.DeleteCloseOrOld();
    return true;
}
