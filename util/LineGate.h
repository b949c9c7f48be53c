#pragma once
// How often a rule may write one kind of line when clients churn. A flood of clients must not
// flood the log as well: a hundred thousand identical lines a minute push the log's history out of
// its rotating files and cost the host more than they cost the attacker. The first lines of a burst
// are written one by one, so that an operator sees who was involved; after that the events are only
// counted and their sum is written at most once a second. A burst ends after a second without one.
#include <cstdint>
#include <limits>

class LineGate {
public:
    static constexpr int64_t kSecondMs = 1000;

    // burst: how many events of a burst get a line of their own (0: none, only sums).
    explicit LineGate(unsigned burst) : m_Burst(burst) {}

    // An event at now (ms): true when it gets its own line, false when it was counted for a sum.
    bool Own(int64_t now) {
        if (now - m_Last >= kSecondMs) m_InBurst = 0;
        m_Last = now;
        if (m_InBurst < m_Burst) {
            ++m_InBurst;
            return true;
        }
        ++m_Pending;
        return false;
    }

    // The events counted since the last sum, when a sum is due now (a second after the last, or
    // always with force); 0 when there is nothing to write yet.
    uint64_t Due(int64_t now, bool force = false) {
        if (m_Pending == 0 || (!force && m_SumAt != 0 && now - m_SumAt < kSecondMs)) return 0;
        const uint64_t n = m_Pending;
        m_Pending = 0;
        m_SumAt = now;
        return n;
    }

private:
    unsigned m_Burst;
    unsigned m_InBurst = 0;
    uint64_t m_Pending = 0;
    int64_t m_Last = std::numeric_limits<int64_t>::min() / 2;  // no event yet: a burst begins
    int64_t m_SumAt = 0;
};
