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

// Parts of a DNS message (RFC 1035 4.1). The stored images begin at the counts.
constexpr size_t kCounts = 4;
constexpr size_t kHeader = 12;
constexpr size_t kTypeClass = 4;
constexpr size_t kOptFixed = 11;  // an OPT record without options: root, type, class, TTL, data length
constexpr unsigned kTypeOPT = 41;

unsigned char* Bytes(char* buf) { return reinterpret_cast<unsigned char*>(buf); }

unsigned Get16(const unsigned char* p) { return static_cast<unsigned>(p[0]) << 8 | p[1]; }

unsigned char Lower(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c | 0x20) : c;
}

// Whether one OPT record owned by the root starts where the question ends (`end`, perhaps past len)
// and ends the datagram. EDNS clients add that record to every query, and a responder without EDNS
// answers as if it were not there (RFC 6891 section 7). Any other record after the question asks for
// more than a stored answer gives, so its query goes to the server.
bool OptEnds(const unsigned char* buf, size_t len, size_t end) {
    return end <= len && len - end >= kOptFixed && buf[end] == 0 && Get16(buf + end + 1) == kTypeOPT &&
           Get16(buf + end + 9) == len - end - kOptFixed;
}

// Whether a question (name, type, class) is the image's, n bytes from the name on. Names compare
// without regard to ASCII case (RFC 4343), but nearly every client sends the configured spelling: one
// memcmp settles that, and only a difference is gone through label by label.
bool SameQuestion(const unsigned char* query, const unsigned char* image, size_t n) {
    if (std::memcmp(query, image, n) == 0) return true;
    const size_t end = n - kTypeClass;
    if (std::memcmp(query + end, image + end, kTypeClass) != 0) return false;
    // Length bytes compare exactly: a label of 65 bytes ('A') is not one of 97 ('a').
    for (size_t p = 0, label = 0; p < end; ++p) {
        if (p == label) {
            if (query[p] != image[p]) return false;
            label = p + 1 + image[p];
        } else if (Lower(query[p]) != Lower(image[p])) {
            return false;
        }
    }
    return true;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// CDNSCli

CDNSCli::CDNSCli(sockaddr_in client, CDNSPort* port)
    : m_Thread("CDNSCli::WinSockProc", &CDNSCli::WinSockProc, this),
      m_Port(port),
      m_AddrCli(client),
      m_TimeLast(Clock::Now()),
      m_Exchange(m_TimeLast) {}

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
    if (!OpenAssociation(m_AddrSrv, m_Socket, m_Thread, m_Run, L"CDNSCli::Start ", m_Connected)) return false;
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
    m_Port->Relayed().Add(1, 0);
    if (SendToTarget(m_Socket, m_Connected, m_AddrSrv, buf, static_cast<size_t>(len)) < 0) {
        int err = errno;
        m_Port->Relayed().TakeBack(1, 0);
        _Modul.m_Log.PutErr(L"CDNSCli::SendToSrv::Send sendto()", err);
    }
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

EvictRank CDNSCli::Rank(int64_t now, bool) const { return m_Exchange.Rank(now, m_Run); }

void CDNSCli::PaceLog() { _Modul.m_Log.Pace(); }

void CDNSCli::PutLine(const DBString& text) { _Modul.m_Log.Put(text.c_str()); }

void CDNSCli::FromClient() { m_Exchange.FromClient(Clock::Now()); }

bool CDNSCli::WinSockProc(void* arg) {
    auto* cli = static_cast<CDNSCli*>(arg);
    char buf[kBufSize];
    SockAddr from;
    while (cli->m_Run) {
        ssize_t n = cli->m_Socket.RecvFrom(buf, kBufSize - 1, from);
        int err = errno;
        if (!cli->m_Run) break;
        if (n < 0 && IsTargetHiccup(err)) continue;
        if (n > 0) {
            int len = static_cast<int>(n);
            buf[len] = 0;
            const int64_t now = Clock::Now();
            cli->m_TimeLast = now;
            cli->m_Exchange.FromTarget(now);
            _Modul.m_LogDNS.PaceRecords();
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

int CDNSPort::LocalAnswer(unsigned char* buf, int len, int size) {
    // Flags are only meaningful in a full header; anything shorter is passed on untouched. The counts
    // are those of every question image: one question, no answer or authority records.
    if (len < static_cast<int>(kHeader) || (buf[2] & 0x01) == 0) return 0;
    if (Get16(buf + 4) != 1 || Get16(buf + 6) != 0 || Get16(buf + 8) != 0) return 0;
    const size_t n = static_cast<size_t>(len);
    // Where the question ends: at the end of the datagram, or where the OPT record begins, after the
    // name's labels, its zero byte, type and class. Found once per query, so that each node whose
    // question has another length costs one comparison, and only a node of the same length a memcmp.
    size_t end = n;
    switch (Get16(buf + 10)) {
    case 0:
        break;
    case 1: {
        size_t p = kHeader;
        while (p < n && buf[p] != 0) p += 1u + buf[p];
        end = p + 1 + kTypeClass;
        if (!OptEnds(buf, n, end)) return 0;
        break;
    }
    default:
        return 0;
    }
    const size_t image = end - kCounts;  // the length of a question image that can match
    for (const auto& node : _Modul.m_Cfg.m_Nodes) {
        if (!node || node->TypNode() != CProxyDNS::kTypNode) continue;
        const auto& dns = static_cast<const CProxyDNS&>(*node);
        // The length first: it turns away nearly every node. A name too long for the answer image has
        // none: its queries go to the server rather than getting a bare header back.
        if (dns.m_LenQuestion != image || dns.m_LenAnswer == 0) continue;
        if (!SameQuestion(buf + kHeader, dns.m_Question + (kHeader - kCounts), end - kHeader)) continue;
        // Built in place: the answer replaces the OPT record, if any, by its own record, and can be
        // longer than the query.
        const int answer = static_cast<int>(kCounts + dns.m_LenAnswer);
        if (answer > size) return 0;
        buf[2] = static_cast<unsigned char>((buf[2] & 0xFE) | 0x80);
        // The counts of the answer image (one answer, no additional record), the question as the
        // client asked it, its letter case included, and the record that follows it in the image.
        std::memcpy(buf + kCounts, dns.m_Answer, kHeader - kCounts);
        std::memcpy(buf + end, dns.m_Answer + dns.m_LenQuestion, dns.m_LenAnswer - dns.m_LenQuestion);
        return answer;
    }
    return 0;
}

void CDNSPort::RecvFromCli(char* buf, int len, int size, sockaddr_in from) {
    int64_t key = CreateLong(static_cast<int>(from.sin_addr.s_addr), ntohs(from.sin_port));
    // Under the table lock, so the sweep cannot remove the association meanwhile. Each sent
    // datagram is logged before the send, so that an answer, logged by another thread, can never
    // appear in the DNS log ahead of the query it answers. The wait for the log comes first.
    _Modul.m_LogDNS.PaceRecords();
    const bool relayed = m_CliTab.Deliver(
        key, [&] { return std::make_unique<CDNSCli>(from, this); },
        [&](CDNSCli& cli) {
            cli.FromClient();
            Answer(buf, len, size, cli.ID(), cli.AddrCli().V4(), &cli);
        });
    // A client without an association (no room for it, or no thread): its query is still logged
    // and a configured name still answered; only forwarding needs the association.
    if (!relayed && !Answer(buf, len, size, 0, from, nullptr)) m_CliTab.Dropped();
}

bool CDNSPort::Answer(char* buf, int len, int size, int id, sockaddr_in client, CDNSCli* cli) {
    _Modul.m_LogDNS.Put(CDNSLog::typRecv, Bytes(buf), len, id, client);
    int answer = LocalAnswer(Bytes(buf), len, size);
    if (answer > 0) {
        _Modul.m_LogDNS.Put(CDNSLog::typSend, Bytes(buf), answer, id, client);
        m_Traffic.Add(1, 0);
        SendToCli(buf, answer, client);
        return true;
    }
    if (cli == nullptr) return false;
    _Modul.m_LogDNS.Put(CDNSLog::typSend, Bytes(buf), len, id, cli->AddrSrv().V4());
    cli->SendToSrv(buf, len);
    return true;
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
    m_CliTab.SetRemembersEvicted(true);
    m_CliTab.SetName(DBString().Format(L"DNS %05d", m_PortLocal), L"queries dropped: no association for their clients");
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
    m_Traffic.Add(0, 1);
    if (m_Socket.SendTo(buf, static_cast<size_t>(len), SockAddr(to)) < 0) {
        int err = errno;
        m_Traffic.TakeBack(0, 1);
        _Modul.m_Log.PutErr(L"CDNSCli::SendToCli::Send sendto()", err);
    }
}

bool CDNSPort::WinSockProc(void* arg) {
    auto* port = static_cast<CDNSPort*>(arg);
    char buf[kBufSize];
    DatagramLoop(
        port->m_Socket, [port] { return port->m_Run.load(); }, buf, kBufSize,
        [port](char* data, size_t n, const SockAddr& from) {
            port->RecvFromCli(data, static_cast<int>(n), kBufSize, from.V4());
        },
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
