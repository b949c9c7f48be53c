#pragma once
// One client of a datagram relay (a UDP rule, the DNS relay): its own socket towards the target,
// bound to an ephemeral port, and the thread that carries the target's datagrams back to the client
// from the port's socket. An entry of the port's ClientTable.
#include <atomic>
#include <cerrno>
#include <cstdint>

#include "thread/Thread.h"
#include "util/ClientTable.h"
#include "util/Clock.h"
#include "util/DBString.h"
#include "util/Net.h"

class DatagramPort;

// Who has talked on an association, for the table's choice at its bound. A spoofed source never
// sees its answer and so never sends again after it; an association whose client answers back is
// the last to go. One whose first datagram went out less than a second ago is not taken for one
// its target ignores: its answer may be on the way (a forwarded DNS query's usually is), and one
// that has had its answer is done with sooner.
class Exchange {
public:
    static constexpr int64_t kAnswerGrace = 1000;  // ms

    explicit Exchange(int64_t now) : m_Opened(now), m_Active(now) {}
    // A datagram from the client, now (ms).
    void FromClient(int64_t now) {
        if (m_Answered.load(std::memory_order_relaxed)) m_TwoWay.store(true, std::memory_order_relaxed);
        m_Active.store(now, std::memory_order_relaxed);
    }
    // A datagram from the target.
    void FromTarget(int64_t now) {
        m_Answered.store(true, std::memory_order_relaxed);
        m_Active.store(now, std::memory_order_relaxed);
    }
    EvictRank Rank(int64_t now, bool running) const {
        if (!running) return {EvictRank::kEnded, 0};
        const int64_t active = m_Active.load(std::memory_order_relaxed);
        if (!m_Answered.load(std::memory_order_relaxed))
            return {now - m_Opened < kAnswerGrace ? EvictRank::kAwaiting : EvictRank::kUnanswered, active};
        return {m_TwoWay.load(std::memory_order_relaxed) ? EvictRank::kTwoWay : EvictRank::kOneWay, active};
    }

private:
    const int64_t m_Opened;         // ms
    std::atomic<int64_t> m_Active;  // ms: the last datagram either way
    std::atomic<bool> m_Answered{false};
    std::atomic<bool> m_TwoWay{false};
};

class Association {
public:
    // Sweep: ended associations, and those whose target was silent for more than the rule's limit,
    // by default 180 s (in ms).
    static constexpr int64_t kIdleLimit = 180000;

    // at: the local address the client's first datagram came in on; its answers go from there.
    Association(const SockAddr& client, const LocalAddr& at, DatagramPort* port);
    ~Association();
    Association(const Association&) = delete;
    Association& operator=(const Association&) = delete;

    // Finds the target, opens and binds the socket and starts the receive thread, then logs
    // "connect". A failing step is logged as "<Cli>::Start <step>" ("socket()", "bind(0.0.0.0:0)",
    // "bind(0:0)"; the pool logs a thread it could not create) and leaves nothing open: no socket may
    // stay without its reader. Without a target the association stays, closed and holding nothing,
    // until the sweep. Connected, the socket takes datagrams from the target only (nobody else can
    // slip an answer into the association) and sends without a route lookup each time; a connect
    // the system refuses leaves it unconnected, as associations were before.
    bool Start();
    void SetID(int id);
    DBString Str() const { return m_Str; }
    void PutLog(const wchar_t* text) const;
    // A datagram from the client: counts for the table's choice at its bound.
    void FromClient() { m_Exchange.FromClient(Clock::Now()); }
    void SendToSrv(const char* buf, int len);
    void Stop();
    const wchar_t* SweepReason(int64_t now) const;
    EvictRank Rank(int64_t now, bool silentNewcomer) const;
    static void PaceLog();
    static void PutLine(const DBString& text);

    int ID() const { return m_ID; }
    int64_t TimeLast() const { return m_TimeLast; }
    const SockAddr& AddrCli() const { return m_AddrCli; }
    const SockAddr& AddrSrv() const { return m_AddrSrv; }

private:
    static bool WinSockProc(void* cli);
    // Whether an error is one to go on after: a connected socket reports an ICMP error of an earlier
    // datagram (the target's port closed for a moment, a firewall before it rejecting, no route for
    // a while) on its next call, and reading it clears it; nothing was lost by it.
    static bool IsTargetHiccup(int err) {
        switch (err) {
            case ECONNREFUSED: case EHOSTUNREACH: case ENETUNREACH: case EHOSTDOWN: case ENONET:
            case EACCES: case ENOPROTOOPT: case EPROTO: case EOPNOTSUPP:
                return true;
            default:
                return false;
        }
    }

    DatagramPort* m_Port;
    Thread m_Thread;
    DBString m_Str;  // log prefix: the port's CliPrefix and the client's address
    int m_ID = 0;
    std::atomic<bool> m_Run{false};
    Socket m_Socket;
    SockAddr m_AddrCli;
    const LocalAddr m_AddrLocal;
    SockAddr m_AddrSrv;
    bool m_Connected = false;  // m_Socket connected to m_AddrSrv
    // Refreshed only by datagrams from the target: a client talking to a silent target is dropped.
    std::atomic<int64_t> m_TimeLast;
    Exchange m_Exchange;
};
