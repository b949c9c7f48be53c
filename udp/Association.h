#pragma once
// The part every datagram association shares (UDP rules and the DNS relay): its own socket towards
// the target, bound to an ephemeral port, and the thread that reads it.
#include <atomic>
#include <cstdint>

#include "thread/Thread.h"
#include "util/ClientTable.h"
#include "util/DBString.h"
#include "util/Net.h"

// Opens and binds the socket, then starts the reader with run set. A failure is logged as failed +
// "socket()" / "bind(0.0.0.0:0)" / "bind(0:0)" (the pool logs a thread it could not create) and
// leaves nothing open: no socket may stay without its reader.
bool OpenAssociation(int family, Socket& socket, Thread& reader, std::atomic<bool>& run, const DBString& failed);

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
