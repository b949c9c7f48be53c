#pragma once
// TCP forwarding: a listening port per rule, its table of accepted connections and the relay of each
// connection. IPv4 and IPv6 differ only in the listening family and a few texts, so the classes are
// written once over the address family; CTCPPort/CTCPv6Port and friends are the two instances.
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "thread/Thread.h"
#include "util/ClientTable.h"
#include "util/DBString.h"
#include "util/Net.h"
#include "util/PortBase.h"
#include "util/RuleName.h"
#include "util/Traffic.h"

// The texts that tell the two families apart.
template <int AF>
struct TCPFamily;

template <>
struct TCPFamily<AF_INET> {
    static constexpr RuleKind kKind = RuleKind::TCPv4;
    static constexpr const wchar_t* kSocketError = L"TCP socket() error";
    static constexpr const char* kPortClass = "CTCPPort";
    static constexpr const char* kCliClass = "CTCPCli";
    static constexpr const wchar_t* kExitPrefix = L"CTCPCli::WinSockCliProc ";
};

template <>
struct TCPFamily<AF_INET6> {
    static constexpr RuleKind kKind = RuleKind::TCPv6;
    static constexpr const wchar_t* kSocketError = L"TCPv6 socket() error";
    static constexpr const char* kPortClass = "CTCPv6Port";
    static constexpr const char* kCliClass = "CTCPv6Cli";
    static constexpr const wchar_t* kExitPrefix = L"CTCPv6Cli::WinSockCliProc ";
};

template <int AF>
class TCPPortT;

// One accepted connection: the client-side procedure waits for the client's first data, then
// decides between echo, rejection by the Host check and a connection to the target; the target side
// runs once the target is connected.
template <int AF>
class TCPCliT {
public:
    using Port = TCPPortT<AF>;
    static constexpr int kBufferSize = 32000;  // a receive takes one byte less: room for a zero byte
    // The sweep's limits when the rule sets none.
    static constexpr int64_t kIdleLimit = 30000;  // ms without data moving
    static constexpr int64_t kOpenLimit = 60000;  // ms since acceptance
    // At the rule's bound, a connection that has talked and then been quiet this long (ms) may make
    // room for a new client; one that carried data more recently is not cut off for it.
    static constexpr int64_t kEvictQuiet = 2000;
    // A client that has sent nothing yet gives way to a new one, unless that one has not sent
    // anything either and this one is younger than this (ms): otherwise clients that reconnect
    // whenever they are cut would turn the table over as fast as they can connect.
    static constexpr int64_t kSilentGrace = 10000;
    // A blocking send gives the relay a look at its progress this often (ms): a client that reads
    // a long answer slowly is moving data, not idle.
    static constexpr int kSendProgress = 500;
    // A side waiting in a send is a transfer under way, not a quiet client. TCP shows a slow
    // reader's progress only when its window opens again, which can take seconds, so such a
    // connection makes room only once its data has not moved for this long (ms).
    static constexpr int64_t kSendStall = 10000;
    // Milliseconds a side that has received a whole page of data may stay quiet before it hands
    // its buffer's pages back.
    static constexpr int kQuietRelease = 1000;

    TCPCliT(int socket, const SockAddr& addr);
    ~TCPCliT();
    TCPCliT(const TCPCliT&) = delete;
    TCPCliT& operator=(const TCPCliT&) = delete;

    // Logs "connect" and starts the client side. False when no thread could take it: the
    // connection is then closed.
    bool Start();
    bool Start(Port* port) {
        m_Port = port;
        return Start();
    }
    void SetID(int id);
    DBString Str() const { return m_Str; }
    void PutLog(const wchar_t* text) const;
    void Close();
    // A side's relay is over. The first side to end shuts both sockets down, which wakes the other
    // side; the last closes them and tells the table the connection has ended. Closing first would
    // make the first side wait in Close until the other had left its receive: a context switch per
    // connection for nothing.
    void Finish();
    void Stop();
    const wchar_t* SweepReason(int64_t now) const;
    EvictRank Rank(int64_t now, bool silentNewcomer) const;
    static void PaceLog();
    static void PutLine(const DBString& text);

    static bool WinSockCliProc(void* cli);
    static bool WinSockSrvProc(void* cli);

    // Whether a first piece of client data may be forwarded to a port that requires httpHost.
    static bool IsHostAccepted(const std::string& headerBlock, const std::string& httpHost);

    Thread m_ThreadCli;
    Thread m_ThreadSrv;
    DBString m_Str;
    Port* m_Port = nullptr;
    uint64_t m_Key = 0;  // in the rule's table
    int m_ID = 0;
    std::atomic<bool> m_Run{false};
    Socket m_SocketCli;
    Socket m_SocketSrv;
    SockAddr m_AddrCli;
    int64_t m_TimeOpen;                // ms
    std::atomic<int64_t> m_TimeLast;   // ms: the last receive, or a send that moved data
    std::atomic<int> m_Sending{0};     // sides inside a send
    std::atomic<int> m_Sides{1};       // sides running: the client side, and the target side once started
    // A side has ended. Its sockets are only shut down, and a shut-down TCP socket still hands out
    // what keeps arriving: the other side ends at its next step instead of relaying into nowhere.
    std::atomic<bool> m_OneEnded{false};
    // The client has sent its first data. Until then the connection is the first to make room at
    // the bound: a flood of clients that connect and say nothing must not lock out those that talk.
    std::atomic<bool> m_Talked{false};

private:
    void RunClient();
    // Reads the first data and passes it on (connecting the target first); deeper than the relay.
    [[gnu::noinline]] void TakeFirst(bool echo);
    void ConnectTarget();
    // Relays pieces from one socket to another until from ends; echo sends them back with a dump.
    void Pump(Socket& from, Socket& to, const wchar_t* recvError, const wchar_t* sendError, bool echo);
    int Forward(const Socket& from, Socket& to, const char* data, size_t n, const wchar_t* sendError, bool echo);
    // Counts n bytes from -> to and sends them with sendAll; a failed send is written as sendError
    // and gives its errno (0: sent).
    template <class SendAll>
    int Send(const Socket& from, const Socket& to, size_t n, const wchar_t* sendError, SendAll sendAll);
};

// The connections of one port in order of acceptance, numbered 1..99999 and then from 1 again.
template <int AF>
using TCPCliTabT = ClientTable<uint64_t, TCPCliT<AF>>;

template <int AF>
class TCPPortT : public PortBase {
public:
    enum typIP { IPv4 = 1, IPv6 = 2 };
    using Family = TCPFamily<AF>;

    TCPPortT();
    ~TCPPortT();
    TCPPortT(const TCPPortT&) = delete;
    TCPPortT& operator=(const TCPPortT&) = delete;

    void Start(int portLocal, int portRemote, const char* ipRemote, const char* httpHost, typIP typ,
               int echo);
    void Start();
    void Stop();
    // Clients waiting for room: those in the listen backlog and the one taken and held.
    size_t Waiting();

    static bool WinSockAcceptProc(void* port);

    Thread m_ThreadAccept;
    Socket m_Socket;
    TCPCliTabT<AF> m_CliTab;
    Traffic m_Traffic;        // bytes
    uint64_t m_Accepted = 0;  // the table key of the next connection: its order of acceptance
    int m_PortLocal = 0;
    int m_PortRemote = 0;
    std::string m_IPRemote;
    typIP m_TypIP = IPv4;
    std::string m_HTTPHost;
    int m_Echo = -1;
    int64_t m_IdleLimit = TCPCliT<AF>::kIdleLimit;  // ms
    int64_t m_OpenLimit = TCPCliT<AF>::kOpenLimit;  // ms; 0: none

    // While the rule is full the kernel keeps clients that have sent nothing out of accept() for
    // this long (s): a rule's clients speak first, and a silent one could only be turned away.
    // Tests set 0 to meet silent clients at once.
    static inline std::atomic<int> s_DeferSeconds{10};

private:
    void AcceptLoop();
    // A connection from the backlog, or -1 with errno. One from outside the rule's Allow list is
    // closed here, before anything is read, held or started for it: -1 with errno 0.
    int Take(SockAddr& from);
    void Defer(bool full);
    // The one client taken from the backlog while the table was full, waiting for room.
    Socket m_Held;
    SockAddr m_HeldFrom;
    bool m_Deferring = false;
    int64_t m_FullAt = 0;    // ms: when the table was last seen full
    int64_t m_SilentAt = 0;  // ms: when a client that had sent nothing was last taken under pressure
    // The kernel holds silent clients back this many times s_DeferSeconds (in ms) after the rule
    // was last full; meanwhile silent clients are taken one every kSilentEvery ms at most.
    static constexpr int64_t kPressure = 6000;
    static constexpr int64_t kSilentEvery = 1000;
    // How long a client taken at the bound without data gets to speak before it counts as silent.
    static constexpr int kSpeakMs = 20;
};

using CTCPPort = TCPPortT<AF_INET>;
using CTCPv6Port = TCPPortT<AF_INET6>;
using CTCPCliTab = TCPCliTabT<AF_INET>;
using CTCPv6CliTab = TCPCliTabT<AF_INET6>;
using CTCPCli = TCPCliT<AF_INET>;
using CTCPv6Cli = TCPCliT<AF_INET6>;

extern template class TCPCliT<AF_INET>;
extern template class TCPCliT<AF_INET6>;
extern template class TCPPortT<AF_INET>;
extern template class TCPPortT<AF_INET6>;
