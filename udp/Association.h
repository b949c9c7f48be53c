#pragma once
// The part every datagram association shares (UDP rules and the DNS relay): its own socket towards
// the target, bound to an ephemeral port, and the thread that reads it.
#include <atomic>
#include <cerrno>
#include <cstdint>

#include "thread/Thread.h"
#include "util/ClientTable.h"
#include "util/DBString.h"
#include "util/Net.h"

// Opens and binds the socket, connects it to target, then starts the reader with run set. A failure
// is logged as failed + "socket()" / "bind(0.0.0.0:0)" / "bind(0:0)" (the pool logs a thread it could
// not create) and leaves nothing open: no socket may stay without its reader. Connected, the socket
// takes datagrams from the target only (nobody else can slip an answer into the association) and
// sends without a route lookup each time; a connect the system refuses leaves it unconnected, as
// associations were before (connected tells which).
bool OpenAssociation(const SockAddr& target, Socket& socket, Thread& reader, std::atomic<bool>& run,
                     const DBString& failed, bool& connected);
// One datagram towards the association's target (connected: see OpenAssociation).
ssize_t SendToTarget(Socket& socket, bool connected, const SockAddr& target, const char* data, size_t len);
// Whether a receive error of an association is one to go on after: a connected socket reports an
// ICMP error (the target's port closed for a moment) on its next call; nothing was lost by it.
inline bool IsTargetHiccup(int err) { return err == ECONNREFUSED; }

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
