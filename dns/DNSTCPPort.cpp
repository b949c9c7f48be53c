#include "dns/DNSTCPPort.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "daemon/VEXAProxy.h"
#include "dns/CDNSLog.h"
#include "dns/CDNSPort.h"
#include "dns/DNSFrames.h"
#include "util/Clock.h"
#include "util/RuleName.h"

namespace {
constexpr size_t kChunk = 4096;
// Room past a query for its local answer, which replaces the OPT record by an address record and
// can be longer than the query; an image longer than this does not exist (a name has 255 bytes).
constexpr size_t kAnswerRoom = 512;
// A client side waiting for a query looks at the connection's idle time this often (ms): a client
// that stalls in the middle of a message frees its thread within this of the idle limit.
constexpr int kIdleCheckMs = 500;
constexpr auto kAcceptBackOff = std::chrono::milliseconds(100);

const unsigned char* Bytes(const char* p) { return reinterpret_cast<const unsigned char*>(p); }
}  // namespace

// ---------------------------------------------------------------------------------------------
// DNSTCPConn

DNSTCPConn::DNSTCPConn(int socket, const SockAddr& addr, DNSTCPPort* port, uint64_t key)
    : m_Port(port),
      m_Key(key),
      m_ThreadCli("DNSTCPConn::WinSockCliProc", &WinSockCliProc, this),
      m_ThreadSrv("DNSTCPConn::WinSockSrvProc", &WinSockSrvProc, this),
      m_SocketCli(socket),
      m_AddrCli(addr),
      m_TimeOpen(Clock::Now()),
      m_TimeLast(m_TimeOpen) {}

DNSTCPConn::~DNSTCPConn() { Stop(); }

void DNSTCPConn::SetID(int id) {
    m_ID = id;
    m_Str = m_Port->CliPrefix(id) + m_AddrCli.ToLog();
}

bool DNSTCPConn::Start() {
    m_Run = true;
    PutLog(L"connect");
    if (m_ThreadCli.Start(0, 0)) return true;
    m_Run = false;
    return false;
}

void DNSTCPConn::Stop() {
    bool running;
    {
        // Once the flag is down under the lock, the client side can no longer start the server side.
        std::lock_guard<std::mutex> lock(m_Lock);
        running = m_Run.exchange(false);
    }
    m_SocketCli.Close();
    m_SocketSrv.Close();
    if (!running) return;
    m_ThreadCli.Stop();
    m_ThreadSrv.Stop();
}

void DNSTCPConn::PutLog(const wchar_t* text) const { _Modul.m_Log.Put(m_Str, text); }

const wchar_t* DNSTCPConn::SweepReason(int64_t now) const {
    return now - m_TimeLast > m_Port->m_IdleLimit ? L"deleted because long idle" : nullptr;
}

EvictRank DNSTCPConn::Rank(int64_t, bool) const {
    if (m_Sides == 0) return {EvictRank::kEnded, 0};
    if (!m_Talked) return {EvictRank::kUnanswered, m_TimeOpen};
    return {EvictRank::kTwoWay, m_TimeLast};
}

void DNSTCPConn::PaceLog() { _Modul.m_Log.Pace(); }

void DNSTCPConn::PutLine(const DBString& text) { _Modul.m_Log.Put(text.c_str()); }

void DNSTCPConn::Ending(const wchar_t* text) {
    if (!m_Said.exchange(true) && m_Run) PutLog(text);
}

void DNSTCPConn::PutErr(const wchar_t* what, int err) {
    if (!m_Said.exchange(true) && m_Run) _Modul.m_Log.PutErr((m_Str + what).c_str(), err);
}

void DNSTCPConn::Finish() {
    if (m_Sides.fetch_sub(1) > 1) {
        m_SocketSrv.Shutdown();
        m_SocketCli.Shutdown();
        return;
    }
    m_SocketCli.Close();
    m_SocketSrv.Close();
    m_Port->m_CliTab.Ended(m_Key, this);
}

bool DNSTCPConn::WinSockCliProc(void* arg) {
    auto* conn = static_cast<DNSTCPConn*>(arg);
    conn->m_SocketCli.SetRecvTimeout(kIdleCheckMs);
    conn->Pump(conn->m_SocketCli, true);
    return true;
}

bool DNSTCPConn::WinSockSrvProc(void* arg) {
    auto* conn = static_cast<DNSTCPConn*>(arg);
    conn->Pump(conn->m_SocketSrv, false);
    return true;
}

void DNSTCPConn::Pump(Socket& from, bool client) {
    DNSFrames frames;
    std::string msg;
    std::vector<char> buf(kChunk);
    for (;;) {
        const ssize_t n = from.Recv(buf.data(), buf.size());
        const int err = errno;
        if (!m_Run) break;
        if (n < 0 && client && (err == EAGAIN || err == EWOULDBLOCK)) {
            if (Clock::Now() - m_TimeLast <= m_Port->m_IdleLimit) continue;
            Ending(frames.Partial() ? L"closed because long idle in a message" : L"closed because long idle");
            break;
        }
        if (n == 0 || (n < 0 && (err == ECONNRESET || err == ECONNABORTED))) {
            if (!frames.Partial()) Ending(client ? L"disconnect" : L"disconnect by the server");
            else Ending(client ? L"disconnect in a message" : L"disconnect by the server in a message");
            break;
        }
        if (n < 0) {
            PutErr(client ? L"recv(m_SocketCli) error" : L"recv(m_SocketSrv) error", err);
            break;
        }
        frames.Feed(buf.data(), static_cast<size_t>(n));
        DNSFrames::Next next;
        bool going = true;
        while (going && (next = frames.Take(msg)) == DNSFrames::Next::kMessage) going = client ? Query(msg) : Answered(msg);
        if (!going) break;
        if (next == DNSFrames::Next::kEmpty) {
            Ending(client ? L"closed: a message of length 0" : L"closed: the server sent a message of length 0");
            break;
        }
        if (next == DNSFrames::Next::kShort) {
            Ending(client ? L"closed: a message shorter than a DNS header" : L"closed: the server sent a message shorter than a DNS header");
            break;
        }
        // A client that trickles a message a byte at a time never lets a receive time out.
        if (client && frames.Partial() && Clock::Now() - m_TimeLast > m_Port->m_IdleLimit) {
            Ending(L"closed because long idle in a message");
            break;
        }
    }
    Finish();
}

bool DNSTCPConn::Query(std::string& msg) {
    m_TimeLast = Clock::Now();
    m_Talked = true;
    const int len = static_cast<int>(msg.size());
    _Modul.m_LogDNS.PaceRecords();
    _Modul.m_LogDNS.Put(CDNSLog::typRecv, Bytes(msg.data()), len, m_ID, m_AddrCli);
    msg.resize(msg.size() + kAnswerRoom);
    auto* buf = reinterpret_cast<unsigned char*>(msg.data());
    const int answer = CDNSPort::LocalAnswer(buf, len, static_cast<int>(msg.size()));
    m_Port->m_Traffic.Add(1, 0);
    if (answer > 0) {
        _Modul.m_LogDNS.Put(CDNSLog::typSend, buf, answer, m_ID, m_AddrCli);
        return SendCli(msg.data(), static_cast<size_t>(answer));
    }
    if (!m_SocketSrv.IsOpen() && !ConnectServer()) {
        m_Port->m_Traffic.TakeBack(1, 0);
        return false;
    }
    // Logged before the send: the answer, logged by the server side, never comes ahead of it.
    _Modul.m_LogDNS.Put(CDNSLog::typSend, buf, len, m_ID, m_AddrSrv);
    std::string frame;
    DNSFrames::Frame(frame, msg.data(), static_cast<size_t>(len));
    if (m_SocketSrv.SendAll(frame.data(), frame.size()) < 0) {
        const int err = errno;
        m_Port->m_Traffic.TakeBack(1, 0);
        PutErr(L"send(m_SocketSrv) error", err);
        return false;
    }
    return true;
}

bool DNSTCPConn::Answered(const std::string& msg) {
    m_TimeLast = Clock::Now();
    const int len = static_cast<int>(msg.size());
    _Modul.m_LogDNS.PaceRecords();
    _Modul.m_LogDNS.Put(CDNSLog::typRecv, Bytes(msg.data()), len, m_ID, m_AddrSrv);
    _Modul.m_LogDNS.Put(CDNSLog::typSend, Bytes(msg.data()), len, m_ID, m_AddrCli);
    return SendCli(msg.data(), msg.size());
}

bool DNSTCPConn::SendCli(const char* data, size_t len) {
    std::string frame;
    DNSFrames::Frame(frame, data, len);
    m_Port->m_Traffic.Add(0, 1);
    std::lock_guard<std::mutex> lock(m_Sending);
    if (m_SocketCli.SendAll(frame.data(), frame.size()) >= 0) return true;
    const int err = errno;
    m_Port->m_Traffic.TakeBack(0, 1);
    PutErr(L"send(m_SocketCli) error", err);
    return false;
}

bool DNSTCPConn::ConnectServer() {
    // A connection being stopped opens nothing: its stop would wait for the look-up and the connect.
    if (!m_Run) return false;
    SockAddr srv;
    const int rc = net::ResolveFirst(m_Port->m_Server, m_Port->m_PortRemote, AF_INET, SOCK_STREAM, srv);
    if (rc != 0) {
        PutErr(rc == net::kNoAddress ? L"Connect paiList == 0" : L"Connect getaddrinfo()", rc == net::kNoAddress ? 0 : rc);
        return false;
    }
    Socket sock(net::OpenSocket(AF_INET, SOCK_STREAM));
    if (!sock.IsOpen()) {
        PutErr(L"Connect socket()", errno);
        return false;
    }
    // A server that does not answer the handshake must not hold the client side longer than this.
    sock.SetSendTimeout(kConnectMs);
    if (sock.Connect(srv) != 0) {
        PutErr(L"Connect connect()", errno);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_Run) return false;
    m_AddrSrv = srv;
    m_SocketSrv = std::move(sock);
    ++m_Sides;
    if (m_ThreadSrv.Start(0, 0)) return true;
    --m_Sides;
    m_SocketSrv.Close();
    return false;
}

// ---------------------------------------------------------------------------------------------
// DNSTCPPort

DNSTCPPort::DNSTCPPort()
    : PortBase("DNSTCPPort", [this] { m_CliTab.DeleteCloseOrOld(); }),
      m_ThreadAccept("DNSTCPPort::WinSockAcceptProc", &WinSockAcceptProc, this),
      m_ThreadAccept6("DNSTCPPort::WinSockAcceptProc6", &WinSockAcceptProc6, this) {}

DNSTCPPort::~DNSTCPPort() { Stop(); }

DBString DNSTCPPort::CliPrefix(int id) const { return DBString().Format(L"DNSTCP%05d %05d ", m_PortLocal, id); }

void DNSTCPPort::Start(const char* server, int port, int srvPort, const std::string& local6) {
    m_Server = server ? server : "";
    m_PortLocal = port;
    m_PortRemote = srvPort;
    m_Run = false;
    const DBString name = RuleName(RuleKind::DNSTCP, port);
    m_CliTab.SetName(name, L"clients turned away: no room for them");
    NameRefusals(name, Refusals::kConnections);
    const BindTexts texts{L"DNSTCPPort::Bind(): socket()", L"DNSTCPPort::Bind(): bind()", L"DNSTCPPort::Bind(): listen()"};
    SockAddr at;
    if (!ListenAt(AF_INET, port, at) || OpenBound(m_Socket, at, SOCK_STREAM, texts) != 0) return;
    // As on the datagram side, the IPv6 socket is an addition to the IPv4 one.
    if (!local6.empty() && net::ParseLocal(local6, AF_INET6, port, at) &&
        OpenBound(m_Socket6, at, SOCK_STREAM, texts, true) == 0)
        Run({&m_ThreadAccept, &m_ThreadAccept6});
    else
        Run({&m_ThreadAccept});
}

void DNSTCPPort::Stop() {
    Halt({&m_ThreadAccept, &m_ThreadAccept6}, [this] {
        m_Socket.Close();
        m_Socket6.Close();
    });
    m_CliTab.Clear();
}

bool DNSTCPPort::WinSockAcceptProc(void* arg) {
    auto* port = static_cast<DNSTCPPort*>(arg);
    port->AcceptLoop(port->m_Socket);
    return true;
}

bool DNSTCPPort::WinSockAcceptProc6(void* arg) {
    auto* port = static_cast<DNSTCPPort*>(arg);
    port->AcceptLoop(port->m_Socket6);
    return true;
}

void DNSTCPPort::AcceptLoop(Socket& sock) {
    using Room = CliTab::Room;
    while (m_Run) {
        SockAddr from;
        Socket taken(sock.Accept(from));
        if (!m_Run) return;
        if (!taken.IsOpen()) {
            // Descriptors or memory used up: only time cures that, and retrying at once would spin.
            std::this_thread::sleep_for(kAcceptBackOff);
            continue;
        }
        if (!Admits(from)) continue;
        // The client waits for the room its arrival makes: a connection idle longest goes for it.
        Room room;
        while ((room = m_CliTab.MakeRoom()) == Room::kComing && m_Run) m_CliTab.WaitForRoom(100);
        if (room != Room::kFree) {
            m_CliTab.Refused();
            continue;
        }
        const uint64_t key = m_Accepted++;
        m_CliTab.Add(key, std::make_unique<DNSTCPConn>(taken.Release(), from, this, key), [](DNSTCPConn&) {});
    }
}
