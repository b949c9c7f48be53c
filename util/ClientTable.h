#pragma once
// The clients of one rule: TCP connections, UDP and DNS associations, RM7 devices. The table numbers
// them 1..99999 (then from 1 again), keeps at most Bound() of them, makes room at the bound by
// removing the one quiet longest, and lets the periodic sweep remove what its rule says.
//
// An Entry provides:
//   void SetID(int id);                     numbering, before it starts
//   bool Start();                           starts it and logs its own lines ("connect", failures);
//                                           false: it did not start and is dropped at once
//   void Stop();                            ends its threads and closes its sockets
//   void PutLog(const wchar_t* text) const;
//   const wchar_t* SweepReason(int64_t now) const;   the sweep's line, or null to keep it
//   int64_t Quiet(int64_t now) const;       seconds without traffic; kEnded for one whose relay
//                                           is over; -1 for one that may not be removed to make room
//   static void PaceLog();                  waits while the log's queue is nearly full (sweeps only)
//
// An entry may also call Ended(key, this) once its relay is over, so that a full table finds it
// without walking over every entry: a busy TCP rule sits at its bound with mostly ended connections
// and makes room on every accept.
//
// One thread adds entries (the rule's accept or receive loop); any thread may find, sweep or clear.
//
// Lock order: the table mutex is a leaf for the table's own work. Entries are started, stopped and
// logged outside it, so neither a disk that is slow to take log lines nor a thread that is slow to
// end keeps relays of the same rule waiting.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "util/Clock.h"

template <class Key, class Entry>
class ClientTable {
public:
    static constexpr int kMaxID = 99999;
    static constexpr int64_t kEnded = std::numeric_limits<int64_t>::max();
    using Ptr = std::unique_ptr<Entry>;

    // Counters since start, for the operator.
    struct Totals {
        uint64_t clients = 0;  // entries started
        uint64_t evicted = 0;  // removed to make room
        uint64_t failed = 0;   // starts that failed
        uint64_t refused = 0;  // new clients not taken: no room, or a start failed just before
    };

    ClientTable() = default;
    ~ClientTable() { Clear(); }
    ClientTable(const ClientTable&) = delete;
    ClientTable& operator=(const ClientTable&) = delete;

    // 0: no bound (tests and tools that build a table by hand).
    void SetBound(size_t bound) { m_Bound = bound; }
    size_t Bound() const { return m_Bound; }

    // Calls use(entry) under the table lock when key has an entry; false when it has none.
    template <class Use>
    bool Find(const Key& key, Use&& use) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto it = m_Map.find(key);
        if (it == m_Map.end()) return false;
        use(*it->second.entry);
        return true;
    }

    // The datagram path: the entry of key gets use(entry) under the table lock; a missing one is
    // made by make(), numbered, started and added first, making room when the table is full.
    // Returns whether use ran.
    template <class Make, class Use>
    bool Deliver(const Key& key, Make&& make, Use&& use) {
        if (Find(key, use)) return true;
        if (!MakeRoom()) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            ++m_Totals.refused;
            return false;
        }
        return Add(key, make(), use);
    }

    // Whether a new client may be taken now. At the bound the entry quiet longest, if one may go
    // and evict allows, is removed with its line to make room.
    bool MakeRoom(bool evict = true) {
        Ptr victim;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            // A start failed within the last second: the resource that ran out (threads,
            // descriptors, the target's address) rarely comes back sooner, and every try would
            // write its line again.
            if (m_FailedAt >= 0 && Clock::Now() <= m_FailedAt) return false;
            if (m_Bound == 0 || m_Map.size() < m_Bound) return true;
            if (!evict) return false;
            victim = TakeQuietest(Clock::Now());
            if (!victim) return false;
            ++m_Totals.evicted;
        }
        victim->PutLog(L"deleted because table full");
        victim->Stop();
        victim.reset();
        m_Removed.notify_all();
        return true;
    }

    // Numbers and starts entry outside the lock, then adds it under key and calls use(entry) under
    // the lock. An entry whose start failed is dropped at once with its sockets: nothing is left
    // that holds a descriptor without a reader, and a later client of the rule tries afresh.
    template <class Use>
    bool Add(const Key& key, Ptr entry, Use&& use) {
        int id;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_LastID = m_LastID < kMaxID ? m_LastID + 1 : 1;
            id = m_LastID;
        }
        entry->SetID(id);
        if (!entry->Start()) {
            entry->Stop();
            std::lock_guard<std::mutex> lock(m_Mutex);
            ++m_Totals.failed;
            m_FailedAt = Clock::Now();
            return false;
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        ++m_Totals.clients;
        Entry& e = *entry;
        m_Map[key] = Slot{std::move(entry), m_NextSeq++};
        use(e);
        return true;
    }

    // The relay of entry (under key) is over; it goes first when room is needed.
    void Ended(const Key& key, const Entry* entry) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto it = m_Map.find(key);
        if (it != m_Map.end() && it->second.entry.get() == entry) m_Ended.emplace(it->second.seq, key);
    }

    // After MakeRoom said no: waits until an entry leaves the table, at most ms (a full TCP rule
    // waits so, its new clients in the listen backlog, and looks again when the oldest may go).
    void WaitForRoom(int ms) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Removed.wait_for(lock, std::chrono::milliseconds(ms));
    }

    // The periodic sweep. What goes is taken out under the lock and logged and stopped after it,
    // each line paced to the log's writer, so a sweep of thousands does not overflow its queue.
    void DeleteCloseOrOld() {
        std::vector<std::pair<const wchar_t*, Ptr>> gone;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            const int64_t now = Clock::Now();
            for (auto it = m_Map.begin(); it != m_Map.end();) {
                const wchar_t* reason = it->second.entry->SweepReason(now);
                if (reason == nullptr) {
                    ++it;
                    continue;
                }
                gone.emplace_back(reason, std::move(it->second.entry));
                m_Ended.erase(it->second.seq);
                it = m_Map.erase(it);
            }
        }
        for (auto& [reason, entry] : gone) {
            Entry::PaceLog();
            entry->PutLog(reason);
            entry->Stop();
            entry.reset();
        }
        if (!gone.empty()) m_Removed.notify_all();
    }

    // Stops and drops every entry without a line; the numbering goes on.
    void Clear() {
        std::map<Key, Slot> all;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            all.swap(m_Map);
            m_Ended.clear();
        }
        for (auto& entry : all) entry.second.entry->Stop();
        all.clear();
        m_Removed.notify_all();
    }

    size_t Count() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Map.size();
    }
    int LastID() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_LastID;
    }
    void SetLastID(int id) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_LastID = id;
    }
    Totals GetTotals() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Totals;
    }
    // f(key, entry) for every entry, in key order, under the table lock.
    template <class F>
    void ForEach(F&& f) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (auto& [key, slot] : m_Map) f(key, *slot.entry);
    }

private:
    struct Slot {
        Ptr entry;
        uint64_t seq;  // order of arrival: among equally quiet entries the oldest goes first
    };

    // Caller holds m_Mutex.
    Ptr TakeQuietest(int64_t now) {
        auto best = m_Map.end();
        int64_t bestQuiet = -1;
        // The oldest of the entries that said they ended: nothing is quieter.
        if (!m_Ended.empty()) best = m_Map.find(m_Ended.begin()->second);
        if (best == m_Map.end()) {
            for (auto it = m_Map.begin(); it != m_Map.end(); ++it) {
                int64_t quiet = it->second.entry->Quiet(now);
                if (quiet < 0) continue;
                if (best == m_Map.end() || quiet > bestQuiet ||
                    (quiet == bestQuiet && it->second.seq < best->second.seq)) {
                    best = it;
                    bestQuiet = quiet;
                }
            }
        }
        if (best == m_Map.end()) return nullptr;
        Ptr entry = std::move(best->second.entry);
        m_Ended.erase(best->second.seq);
        m_Map.erase(best);
        return entry;
    }

    std::map<Key, Slot> m_Map;
    std::map<uint64_t, Key> m_Ended;  // arrival order -> key of the entries that said they ended
    std::mutex m_Mutex;
    std::condition_variable m_Removed;
    std::atomic<size_t> m_Bound{0};
    int m_LastID = 0;
    uint64_t m_NextSeq = 0;
    int64_t m_FailedAt = -1;
    Totals m_Totals;
};
