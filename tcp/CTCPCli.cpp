#include <netinet/tcp.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "config/ErrorXML.h"
#include "daemon/VEXAProxy.h"
#include "tcp/CTCPPort.h"
#include "util/Clock.h"
#include "util/ParseString.h"
#include "util/StackPages.h"

namespace {
// A copying side's receive buffer, mapped only while its stream moves data: unmapped, its pages
// are the system's again, where freed heap memory would stay with the process.
class CopyBuffer {
public:
    CopyBuffer() = default;
    ~CopyBuffer() { Unmap(); }
    CopyBuffer(const CopyBuffer&) = delete;
    CopyBuffer& operator=(const CopyBuffer&) = delete;
    // False when the system has no memory for it.
    bool Map() {
        void* p = ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return false;
        m_Data = static_cast<char*>(p);
        return true;
    }
    void Unmap() {
        if (m_Data != nullptr) ::munmap(m_Data, kSize);
        m_Data = nullptr;
    }
    char* Data() const { return m_Data; }

private:
    static constexpr size_t kSize = CTCPCli::kBufferSize;
    char* m_Data = nullptr;
};

bool IsPeerEnd(ssize_t n, int err) { return n == 0 || (n < 0 && (err == ECONNABORTED || err == ECONNRESET)); }

// Client bytes shown in the log stay on one line: control characters are written as escapes, so a
// request cannot forge log lines of its own.
DBString OneLine(const std::string& bytes) {
    DBString text(bytes);
    DBString out;
    for (wchar_t c : text) {
        if (c == L'\r') out += L"\\r";
        else if (c == L'\n') out += L"\\n";
        else if (c < 0x20 || c == 0x7F) out.AppendFormat(L"\\x%02X", static_cast<unsigned>(c));
        else out += c;
    }
    return out;
}
}  // namespace

template <int AF>
TCPCliT<AF>::TCPCliT(int socket, const SockAddr& addr)
    : m_ThreadCli(std::string(TCPFamily<AF>::kCliClass) + "::WinSockCliProc", WinSockCliProc, this),
      m_ThreadSrv(std::string(TCPFamily<AF>::kCliClass) + "::WinSockSrvProc", WinSockSrvProc, this),
      m_AddrCli(addr),
      m_TimeOpen(Clock::Now()),
      m_TimeLast(m_TimeOpen) {
    m_SocketCli.Reset(socket);
}

template <int AF>
TCPCliT<AF>::~TCPCliT() {
    Stop();
}

template <int AF>
bool TCPCliT<AF>::Start() {
    // Logged before the client side runs, so that "connect" precedes every other line of it.
    PutLog(L"connect");
    m_Run = true;
    if (!m_ThreadCli.Start(0, 0)) {
        // The pool has logged why; no socket stays without its reader.
        m_Run = false;
        Close();
        return false;
    }
    return true;
}

template <int AF>
const wchar_t* TCPCliT<AF>::SweepReason(int64_t now) const {
    const int64_t openLimit = m_Port->m_OpenLimit;
    if (openLimit > 0 && now - m_TimeOpen > openLimit) return L"deleted because long open";
    if (now - m_TimeLast > m_Port->m_IdleLimit) return L"deleted because long idle";
    return nullptr;
}

template <int AF>
EvictRank TCPCliT<AF>::Rank(int64_t now, bool silentNewcomer) const {
    // Both sides ended: the sweep would remove it anyway once it has been idle long enough.
    if (!m_SocketCli.IsOpen()) return {EvictRank::kEnded, 0};
    // Silent since it connected: next in line, the oldest first.
    if (!m_Talked) {
        if (silentNewcomer && now - m_TimeOpen < kSilentGrace) return EvictRank::Keep();
        return {EvictRank::kUnanswered, m_TimeOpen};
    }
    const int64_t last = m_TimeLast;
    const int64_t quiet = m_Sending > 0 ? kSendStall : kEvictQuiet;
    return now - last >= quiet ? EvictRank{EvictRank::kTwoWay, last} : EvictRank::Keep();
}

template <int AF>
void TCPCliT<AF>::PaceLog() {
    _Modul.m_Log.Pace();
}

template <int AF>
void TCPCliT<AF>::PutLine(const DBString& text) {
    _Modul.m_Log.Put(text.c_str());
}

template <int AF>
void TCPCliT<AF>::SetID(int id) {
    m_ID = id;
    m_Str = RuleName(TCPFamily<AF>::kKind, m_Port->m_PortLocal) + DBString().Format(L" %05d ", id) +
            m_AddrCli.ToLog();
}

template <int AF>
void TCPCliT<AF>::PutLog(const wchar_t* text) const {
    _Modul.m_Log.Put(m_Str, text);
}

template <int AF>
void TCPCliT<AF>::Close() {
    m_SocketSrv.Close();
    m_SocketCli.Close();
}

template <int AF>
void TCPCliT<AF>::Finish() {
    m_OneEnded = true;
    if (m_Sides.fetch_sub(1) > 1) {
        m_SocketSrv.Shutdown();
        m_SocketCli.Shutdown();
        return;
    }
    Close();
    if (m_Port != nullptr) m_Port->m_CliTab.Ended(m_Key, this);
}

template <int AF>
void TCPCliT<AF>::Stop() {
    // The run flag goes first: a relay woken by the close then ends quietly instead of reporting a
    // disconnect that nobody's peer made.
    bool running = m_Run.exchange(false);
    Close();
    if (!running) return;
    // The client side may still be starting the target side; once it has returned, the target side
    // can no longer appear after its stop.
    m_ThreadCli.Stop();
    m_ThreadSrv.Stop();
}

template <int AF>
bool TCPCliT<AF>::IsHostAccepted(const std::string& headerBlock, const std::string& httpHost) {
    std::vector<std::string> lines;
    if (ParseString(headerBlock, "\r\n", lines) == 0) return true;
    std::vector<std::string> words;
    // Only HTTP/1.1 requests must name a host; anything else passes unchecked.
    if (ParseString(lines[0], " ", words) < 3 || words[2] != "HTTP/1.1") return true;
    for (size_t i = 1; i < lines.size() && !lines[i].empty(); ++i) {
        std::vector<std::string> parts;
        if (ParseString(lines[i], ": ", parts) < 2 || parts[0] != "Host") continue;
        std::vector<std::string> hostPort;
        if (ParseString(parts[1], ":", hostPort) >= 1 && hostPort[0] == httpHost) return true;
    }
    return false;
}

template <int AF>
int TCPCliT<AF>::Forward(const Socket& from, Socket& to, const char* data, size_t n, const wchar_t* sendError,
                          bool echo) {
    if (echo) {
        _Modul.m_Log.PutMes(net::EchoTitle(RuleKindText(TCPFamily<AF>::kKind), m_Port->m_PortLocal, m_AddrCli),
                            reinterpret_cast<const unsigned char*>(data), static_cast<int>(n));
    }
    return Send(from, to, n, sendError, [&] { return to.SendAll(data, n, &m_TimeLast); });
}

template <int AF>
template <class SendAll>
int TCPCliT<AF>::Send(const Socket& from, const Socket& to, size_t n, const wchar_t* sendError, SendAll sendAll) {
    // An echo counts both ways: taken from the client and sent back to it.
    const uint64_t in = &from == &m_SocketCli ? n : 0;
    const uint64_t out = &to == &m_SocketCli ? n : 0;
    m_Port->m_Traffic.Add(in, out);
    ++m_Sending;
    const ssize_t sent = sendAll();
    --m_Sending;
    if (sent < 0) {
        const int err = errno;
        m_Port->m_Traffic.TakeBack(in, out);
        // A stop (eviction, sweep) or the other side's end closed the socket under the send: no
        // fault of the connection.
        if (m_Run && !m_OneEnded) _Modul.m_Log.PutErr((m_Str + sendError).c_str(), err);
        return err;
    }
    return 0;
}

template <int AF>
void TCPCliT<AF>::Pump(Socket& from, Socket& to, const wchar_t* recvError, const wchar_t* sendError, bool echo) {
    // Past the first data only an echo's dump looks at the bytes: the rest go from socket to socket
    // through a pipe, never into the daemon. Without a pipe the side copies through a buffer.
    // Either is held only while the stream moves: quiet for a second, the side gives both back
    // (and its worker's unused stack) and waits for data with a peek. The pipes are a bounded
    // set, and most held connections are idle.
    bool spliceable = !echo;
    SplicePipe pipe;
    CopyBuffer copy;
    auto equip = [&] {
        if (!(spliceable && pipe.Open()) && !copy.Map()) return false;
        from.SetRecvTimeout(kQuietRelease);
        return true;
    };
    bool equipped = equip();
    while (m_Run) {
        char peek;
        ssize_t n = pipe.IsOpen() ? from.SpliceIn(pipe)
                    : copy.Data() ? from.Recv(copy.Data(), kBufferSize - 1)
                                  : from.Recv(&peek, 1, equipped ? MSG_PEEK : MSG_PEEK | MSG_DONTWAIT);
        int err = errno;
        if (!m_Run) break;
        if (m_OneEnded) {
            PutLog(L"disconnect");
            break;
        }
        if (!equipped) {
            // Out of memory for a buffer: the data waits in the socket until there is some.
            if (n > 0 || (n < 0 && err == EAGAIN)) {
                equipped = equip();
                if (!equipped) std::this_thread::sleep_for(std::chrono::milliseconds(kQuietRelease));
                continue;
            }
        } else if (!pipe.IsOpen() && !copy.Data() && n > 0) {
            // Data again after a quiet time: the next pass moves it.
            equipped = equip();
            continue;
        }
        if (pipe.IsOpen() && n < 0 && err == EINVAL) {
            // This socket cannot be spliced; nothing was moved.
            pipe.Close();
            spliceable = false;
            equipped = equip();
            continue;
        }
        if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
            pipe.Close();
            copy.Unmap();
            ReleaseStackBelow();
            from.SetRecvTimeout(0);
            continue;
        }
        if (IsPeerEnd(n, err)) {
            PutLog(L"disconnect");
            break;
        }
        if (n < 0) {
            _Modul.m_Log.PutErr((m_Str + recvError).c_str(), err);
            break;
        }
        m_TimeLast = Clock::Now();
        const size_t len = static_cast<size_t>(n);
        int failed;
        if (pipe.IsOpen()) {
            // A failed send loses its piece as a copy's would; the relay goes on as with a copy.
            failed = Send(from, to, len, sendError, [&] { return to.SpliceOutAll(pipe, len, &m_TimeLast); });
            if (failed != 0 && !pipe.Empty()) break;
        } else {
            copy.Data()[len] = 0;
            failed = Forward(from, to, copy.Data(), len, sendError, echo);
        }
        // The peer this side sends to is gone for good, and the connection with it: relaying on
        // would pull what nobody takes and write a line for every piece.
        if (m_Run && (failed == EPIPE || failed == ECONNRESET)) {
            PutLog(L"disconnect");
            break;
        }
    }
}

template <int AF>
void TCPCliT<AF>::ConnectTarget() {
    SockAddr target;
    if (m_Port->m_TypIP == Port::IPv4) {
        int rc = net::ResolveFirst(m_Port->m_IPRemote, m_Port->m_PortRemote, AF_INET, SOCK_STREAM, target);
        if (rc == net::kNoAddress) throw ErrorXML(L"paiList == 0", 0);
        if (rc != 0) throw ErrorXML(L"getaddrinfo()", rc);
    } else {
        // Never the all-zero address: an empty text throws, it would reach this host's own services.
        target = net::ParseIPv6Target(m_Port->m_IPRemote, m_Port->m_PortRemote);
    }
    int fd = net::OpenSocket(target.Family(), SOCK_STREAM);
    if (fd < 0) throw ErrorXML(L"socket()", errno);
    // Stored before connecting, so that a stop can abort a connect in progress.
    m_SocketSrv.Reset(fd);
    m_SocketSrv.SetSendTimeout(kSendProgress);
    // Each piece goes on as it came: held back for the acknowledgement of the one before, a
    // header and its body would wait for the peer's delayed ACK (tens of ms) at every exchange.
    m_SocketSrv.SetOption(IPPROTO_TCP, TCP_NODELAY, 1);
    if (!m_Run) throw ErrorXML(L"", 0);
    if (m_SocketSrv.Connect(target) != 0) throw ErrorXML(L"connect()", errno);
}

template <int AF>
void TCPCliT<AF>::RunClient() {
    const bool echo = m_Port->m_Echo >= 0;
    TakeFirst(echo);
    if (echo) Pump(m_SocketCli, m_SocketCli, L"recv(m_SocketCli) error", L"send(m_SocketCli) error", true);
    else Pump(m_SocketCli, m_SocketSrv, L"recv(m_SocketCli) error", L"send(m_SocketSrv) error", false);
}

template <int AF>
void TCPCliT<AF>::TakeFirst(bool echo) {
    // The first data is read whole for the Host check and echo's dump, into a buffer on this
    // frame's stack. The relay runs in shallower frames after it, so a quiet side can hand the
    // pages it wrote back (Pump) while heap memory, once touched, would stay with the process.
    char buffer[kBufferSize];
    ssize_t n = m_SocketCli.Recv(buffer, kBufferSize - 1);
    int err = errno;
    if (!m_Run) throw ErrorXML(L"", 0);
    if (IsPeerEnd(n, err)) throw ErrorXML((m_Str + L"disconnect").c_str(), 0);
    if (n < 0) throw ErrorXML((m_Str + L"recv(m_SocketCli) error").c_str(), err);
    buffer[n] = 0;
    m_TimeLast = Clock::Now();
    m_Talked = true;
    m_SocketCli.SetSendTimeout(kSendProgress);
    m_SocketCli.SetOption(IPPROTO_TCP, TCP_NODELAY, 1);
    size_t len = static_cast<size_t>(n);

    if (echo) {
        Forward(m_SocketCli, m_SocketCli, buffer, len, L"send(m_SocketCli) error", true);
        return;
    }
    if (!m_Port->m_HTTPHost.empty()) {
        // Only a complete header in the first piece is checked; the text ends at its first zero byte.
        if (const char* end = std::strstr(buffer, "\r\n\r\n")) {
            std::string header(buffer, static_cast<size_t>(end - buffer));
            if (!IsHostAccepted(header, m_Port->m_HTTPHost)) {
                PutLog(L"Invalid or missing host:");
                PutLog(OneLine(header).c_str());
                throw ErrorXML(L"", 0);
            }
        }
    }
    ConnectTarget();
    // The first data goes before the target side starts: started first, its worker takes the CPU
    // from this one only to wait for an answer to data not yet sent.
    Forward(m_SocketCli, m_SocketSrv, buffer, len, L"send(m_SocketSrv) error", false);
    // Without its target side, the target's answers would go unread: end the connection instead
    // (the pool has logged why).
    m_Sides = 2;
    if (!m_ThreadSrv.Start(0, 0)) {
        m_Sides = 1;
        throw ErrorXML(L"", 0);
    }
}

template <int AF>
bool TCPCliT<AF>::WinSockCliProc(void* arg) {
    auto* cli = static_cast<TCPCliT*>(arg);
    try {
        cli->RunClient();
    } catch (const ErrorXML& e) {
        // A failure caused by a stop is no failure of the connection.
        if (!e.m_Text.empty() && cli->m_Run)
            _Modul.m_Log.PutErr((DBString(TCPFamily<AF>::kExitPrefix) + e.m_Text).c_str(), e.m_Code);
    }
    cli->Finish();
    return true;
}

template <int AF>
bool TCPCliT<AF>::WinSockSrvProc(void* arg) {
    auto* cli = static_cast<TCPCliT*>(arg);
    cli->Pump(cli->m_SocketSrv, cli->m_SocketCli, L"recv(m_SocketSrv) error", L"send(m_SocketCli) error", false);
    cli->Finish();
    return true;
}

template class TCPCliT<AF_INET>;
template class TCPCliT<AF_INET6>;
