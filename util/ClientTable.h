#pragma once
// The clients of one rule: TCP connections, UDP and DNS associations, RM7 devices. The table numbers
// them 1..99999 (then from 1 again), keeps at most Bound() of them, makes room at the bound by
// evicting the client that matters least, and lets the periodic sweep remove what its rule says.
//
// An Entry provides:
//   void SetID(int id);                     numbering, before it starts
//   bool Start();                           starts it and logs its own lines ("connect", failures);
//                                           false: it did not start and is dropped at once
//   void Stop();                            ends its threads and closes its sockets
//   void PutLog(const wchar_t* text) const;
//   const wchar_t* SweepReason(int64_t now) const;   the sweep's line, or null to keep it
//   EvictRank Rank(int64_t now, bool silentNewcomer) const;   its place in the line for eviction
//   static void PaceLog();                  waits while the log's queue is nearly full (sweeps only)
//   static void PutLine(const DBString& text);   a line of the rule's own (sums of evictions, refusals)
// Times are Clock::Now() milliseconds.
//
// An entry may also call Ended(key, this) once its relay is over, so that a full table finds it
// without walking over every entry: a busy TCP rule sits at its bound with mostly ended connections
// and makes room on every accept. Such an entry promises that none of its threads is left in a call
// that its Stop cannot end at once (a name lookup): evicted, it is stopped by the admitting thread
// itself, and the room is there at once.
//
// One thread per listening socket admits entries (the rule's accept or receive loop; the DNS relay has
// one for IPv4 and one for IPv6 clients); any thread may find, sweep or clear.
// Eviction never makes that thread wait for the threads of a client still relaying: one of them may
// be inside a name lookup that nothing can interrupt. Each such evicted client is stopped on a pool
// thread of its own, and until it has stopped it still counts against the bound, as do swept
// clients until the sweep has stopped them: the bound is what the budget gave for threads and
// sockets in use. A client that said it ended is stopped in place: handing it to a pool thread
// would cost a wake-up of that thread, and the admitting thread would wait for it anyway.
//
// Lock order: the table mutex is a leaf for the table's own work. Entries are started, stopped and
// logged outside it, so neither a disk that is slow to take log lines nor a thread that is slow to
// end keeps relays of the same rule waiting.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <algorithm>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "thread/Thread.h"
#include "util/Clock.h"
#include "util/DBString.h"
#include "util/LineGate.h"

// Where a client stands when room is needed: the lowest tier goes first, within a tier the one
// active least recently, then the oldest.
struct EvictRank {
    enum Tier : int {
        kEnded = 0,       // its relay is over
        kUnanswered = 1,  // a datagram client its target has not answered for a second; a TCP client that never talked
        kOneWay = 2,      // answered, but its client has not sent since: a spoofed source never sees the answer
        kAwaiting = 3,    // a datagram client of less than a second, its answer perhaps on the way
        kTwoWay = 4,      // its client sent after being answered (TCP: talked, and quiet long enough)
        kKeep = 5,        // may not be evicted now
    };
    int tier = kKeep;
    int64_t since = 0;  // last activity, ms

    static EvictRank Keep() { return {}; }
};

template <class Key, class Entry>
class ClientTable {
public:
    static constexpr int kMaxID = 99999;
    using Ptr = std::unique_ptr<Entry>;
    // How many evictions of a burst get their own "deleted because table full" line.
    static constexpr unsigned kOwnEvictionLines = 10;
    // A start failed within this long: the resource that ran out (threads, descriptors, the
    // target's address) rarely comes back sooner, and every try would write its line again.
    static constexpr int64_t kFailHoldOffMs = 1000;
    // Evicted keys a datagram table remembers at least: a flood of 2,000 new sources a second
    // turns them over in two seconds, longer than devices that send every second stay away.
    static constexpr size_t kRememberedKeys = 4096;

    // Counters since start, for the operator.
    struct Totals {
        uint64_t clients = 0;  // entries started
        uint64_t evicted = 0;  // live clients removed to make room (not ended ones)
        uint64_t failed = 0;   // starts that failed
        uint64_t refused = 0;  // new clients not taken: no room, or a start failed just before
    };

    // Whether a new client may be taken.
    enum class Room {
        kFree,    // yes, now
        kComing,  // a client is being stopped for it: WaitForRoom, then ask again
        kNone,    // nothing may go (or a start failed just before)
    };

    ClientTable() = default;
    ~ClientTable() { Clear(); }
    ClientTable(const ClientTable&) = delete;
    ClientTable& operator=(const ClientTable&) = delete;

    // 0: no bound (tests and tools that build a table by hand).
    void SetBound(size_t bound) { m_Bound = bound; }
    size_t Bound() const { return m_Bound; }
    // The rule's name for its own lines ("UDPv4 05300") and what its refusals are ("datagrams
    // dropped"): "UDPv4 05300 12 datagrams dropped: no association for their clients".
    void SetName(const DBString& name, const wchar_t* refusals) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Name = name;
        m_Refusals = refusals;
    }

    // Datagram tables: a client evicted before that comes back from the same address and port has
    // shown that it is there (a spoofed source never comes back), so it ranks with the clients that
    // answer back. A device that came, or was cut, while a flood of spoofed sources filled the table
    // gets its place back instead of being evicted again before its next datagram.
    void SetRemembersEvicted(bool on) { m_Remember = on; }

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
    // made by make(), numbered, started and added first, making room when the table is full. A
    // client that finds no room within kDatagramWaitMs is counted as refused; its datagram is the
    // caller's to drop (and to report with Dropped). Returns whether use ran.
    static constexpr int kDatagramWaitMs = 50;
    template <class Make, class Use>
    bool Deliver(const Key& key, Make&& make, Use&& use) {
        if (Find(key, use)) return true;
        const int64_t deadline = Clock::Now() + kDatagramWaitMs;
        for (;;) {
            const Room room = MakeRoom();
            if (room == Room::kFree) return Add(key, make(), use);
            const int64_t left = deadline - Clock::Now();
            if (room == Room::kNone || left <= 0) {
                std::lock_guard<std::mutex> lock(m_Mutex);
                ++m_Totals.refused;
                return false;
            }
            WaitForRoom(static_cast<int>(left));
        }
    }

    // An entry found or made by Hold: the sweep, an eviction and Clear take it out of the table as
    // usual but stop it only once it is let go, so the datagram path can log and send without the
    // table lock. A thread that holds one asks the table for no other entry meanwhile: evicting
    // the held one would make it wait for itself.
    class Held {
    public:
        Held() = default;
        Held(Held&& o) noexcept : m_Table(std::exchange(o.m_Table, nullptr)), m_Entry(std::exchange(o.m_Entry, nullptr)) {}
        Held& operator=(Held&&) = delete;
        ~Held() {
            if (m_Entry) m_Table->Release(m_Entry);
        }
        explicit operator bool() const { return m_Entry != nullptr; }
        Entry* operator->() const { return m_Entry; }
        Entry& operator*() const { return *m_Entry; }

    private:
        friend class ClientTable;
        Held(ClientTable* table, Entry* entry) : m_Table(table), m_Entry(entry) {}
        ClientTable* m_Table = nullptr;
        Entry* m_Entry = nullptr;
    };

    // Deliver, with the entry held instead of used under the lock; empty when it was refused.
    template <class Make>
    Held Hold(const Key& key, Make&& make) {
        Entry* held = nullptr;
        Deliver(key, std::forward<Make>(make), [&](Entry& e) {
            held = &e;
            m_Held.push_back(held);
        });
        return held ? Held(this, held) : Held();
    }

    // Whether a new client may be taken now. At the bound the entry that matters least, if one may
    // go and evict allows, is evicted to make room: its line is written and it is stopped on a pool
    // thread, and the room is there once it has stopped (kComing). A silent newcomer (a TCP client
    // that has sent nothing) does not take the place of a silent client younger than its grace.
    // Within a sixteenth of the bound, a newcomer that evicts is taken at once and one client that
    // never answered back goes meanwhile: a flood of new clients then never waits for the stops,
    // which run alongside, and clients that talk both ways keep the whole bound.
    Room MakeRoom(bool silentNewcomer = false, bool evict = true) {
        LeftList stopped;  // dropped last, after the lock
        Leaving* leaving = nullptr;
        bool inPlace = false;
        uint64_t sum = 0;
        Room room;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            TakeStopped(stopped);
            m_GoneSeen = m_Gone;
            const int64_t now = Clock::Now();
            if (m_FailedAt >= 0 && now - m_FailedAt < kFailHoldOffMs) return Room::kNone;
            const size_t used = m_Map.size() + m_Outside;
            if (m_Bound == 0 || used + m_Bound / 16 < m_Bound) return Room::kFree;
            if (!evict && used < m_Bound) return Room::kFree;
            if (!evict) return Room::kNone;
            int tier = -1;
            bool saidEnded = false;
            Ptr victim;
            if (used < m_Bound) {
                // Ahead of need, and no more at once than the headroom holds.
                room = Room::kFree;
                if (m_Outside < m_Bound / 16)
                    victim = TakeFirst(now, silentNewcomer, EvictRank::kOneWay, tier, saidEnded);
                if (!victim) return room;
            } else {
                // A client already being stopped (for the one waiting, or by the sweep) brings its
                // room; while it takes its time only an ended client is taken besides.
                const bool coming = m_Outside > 0;
                victim = TakeFirst(now, silentNewcomer, coming ? EvictRank::kEnded : EvictRank::kTwoWay, tier,
                                   saidEnded);
                if (!victim) return coming ? Room::kComing : Room::kNone;
                room = Room::kComing;
            }
            if (tier != EvictRank::kEnded) ++m_Totals.evicted;
            ++m_Outside;
            ++m_Evicting;
            const bool own = m_EvictLines.Own(now);
            sum = m_EvictLines.Due(now);
            m_Leaving.push_back(std::make_unique<Leaving>(*this, std::move(victim), own));
            leaving = m_Leaving.back().get();
            inPlace = saidEnded;
        }
        PutSum(sum, L"more deleted because table full");
        // Stopped here when it said it ended, or when there is no thread to spare.
        if (inPlace || !leaving->thread.Start(0, 0)) StopLeaving(leaving);
        std::lock_guard<std::mutex> lock(m_Mutex);
        leaving->launched = true;
        if (inPlace && room == Room::kComing && m_Map.size() + m_Outside < m_Bound) room = Room::kFree;
        return room;
    }

    // A new client was not taken: counted, and reported with Dropped.
    void Refused() {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            ++m_Totals.refused;
        }
        Dropped();
    }

    // What a client that was not taken brought was dropped: summed up on a line at most once a
    // second ("UDPv4 05300 12 datagrams dropped: no association for their clients").
    void Dropped() {
        uint64_t sum;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            const int64_t now = Clock::Now();
            m_RefuseLines.Own(now);
            sum = m_RefuseLines.Due(now);
        }
        PutSum(sum, m_Refusals);
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
        const bool returned = m_Remember && m_Evicted.erase(key) > 0;
        m_Map[key] = Slot{std::move(entry), m_NextSeq++, returned};
        use(e);
        return true;
    }

    // The relay of entry (under key) is over; it goes first when room is needed.
    void Ended(const Key& key, const Entry* entry) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            auto it = m_Map.find(key);
            if (it == m_Map.end() || it->second.entry.get() != entry) return;
            m_Ended.emplace(it->second.seq, key);
            ++m_Gone;  // a client waiting for room may take its place now
        }
        // After the unlock: the admitting thread woken would otherwise wait for the lock at once. The
        // table outlives its entries' threads (Clear stops them first).
        m_Removed.notify_all();
    }

    // After MakeRoom said no: waits until an entry has left the table and stopped since, at most ms.
    // The admitting thread asks; a stop that ended between its MakeRoom and this wait counts.
    void WaitForRoom(int ms) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Removed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_Gone != m_GoneSeen; });
    }

    // The periodic sweep. What goes is taken out under the lock and logged and stopped after it,
    // each line paced to the log's writer, so a sweep of thousands does not overflow its queue;
    // until stopped each still counts against the bound. A sum of evictions that is due is written.
    void DeleteCloseOrOld() {
        LeftList stopped;
        std::vector<std::pair<const wchar_t*, Ptr>> gone;
        uint64_t sum, refusals;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            TakeStopped(stopped);
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
            m_Outside += gone.size();
            sum = m_EvictLines.Due(now);
            refusals = m_RefuseLines.Due(now);
        }
        PutSum(sum, L"more deleted because table full");
        PutSum(refusals, m_Refusals);
        for (auto& [reason, entry] : gone) {
            Entry::PaceLog();
            entry->PutLog(reason);
            WaitReleased(entry.get());
            entry->Stop();
            entry.reset();
            std::lock_guard<std::mutex> lock(m_Mutex);
            --m_Outside;
            ++m_Gone;
            m_Removed.notify_all();
        }
    }

    // Stops and drops every entry without a line, and waits for evicted ones still stopping; the
    // numbering goes on. Sums still due are written.
    void Clear() {
        std::map<Key, Slot> all;
        uint64_t sum, refusals;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            all.swap(m_Map);
            m_Ended.clear();
            const int64_t now = Clock::Now();
            sum = m_EvictLines.Due(now, true);
            refusals = m_RefuseLines.Due(now, true);
        }
        PutSum(sum, L"more deleted because table full");
        PutSum(refusals, m_Refusals);
        for (auto& entry : all) {
            WaitReleased(entry.second.entry.get());
            entry.second.entry->Stop();
        }
        all.clear();
        LeftList stopped;
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Removed.wait(lock, [this] { return m_Evicting == 0; });
        TakeStopped(stopped);
        ++m_Gone;
        m_Removed.notify_all();
        lock.unlock();
    }

    // Clients in the table (not those being stopped).
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
        uint64_t seq;           // order of arrival: among equal ranks the oldest goes first
        bool returned = false;  // evicted before and back: ranks as answering back
    };

    // An evicted client on its way out: stopped by a pool procedure of its own, so that one whose
    // threads are slow to end holds up neither the rule nor the others evicted after it.
    struct Leaving {
        Leaving(ClientTable& t, Ptr e, bool line)
            : table(t), entry(std::move(e)), ownLine(line), thread("ClientTable::Evict", &Run, this) {}
        static bool Run(void* self) {
            auto* l = static_cast<Leaving*>(self);
            l->table.StopLeaving(l);
            return false;
        }
        ClientTable& table;
        Ptr entry;
        bool ownLine;
        bool done = false;      // stopped; under the table mutex
        bool launched = false;  // its handle is no longer being started; under the table mutex
        Thread thread;
    };

    void StopLeaving(Leaving* l) {
        if (l->ownLine) l->entry->PutLog(L"deleted because table full");
        WaitReleased(l->entry.get());
        l->entry->Stop();
        l->entry.reset();
        std::lock_guard<std::mutex> lock(m_Mutex);
        l->done = true;
        --m_Outside;
        --m_Evicting;
        ++m_Gone;
        m_Removed.notify_all();
    }

    void Release(const Entry* entry) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            auto it = std::find(m_Held.begin(), m_Held.end(), entry);
            *it = m_Held.back();
            m_Held.pop_back();
        }
        m_Removed.notify_all();
    }

    // Before an entry out of the table is stopped: until nobody holds it.
    void WaitReleased(const Entry* entry) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Removed.wait(lock, [&] { return std::find(m_Held.begin(), m_Held.end(), entry) == m_Held.end(); });
    }

    using LeftList = std::list<std::unique_ptr<Leaving>>;

    // Caller holds m_Mutex. Moves the records of evicted clients that have stopped into done, for
    // the caller to drop after the lock: their procedures have returned or are returning, so
    // destroying the handles waits for the pool to let go of them, briefly.
    void TakeStopped(LeftList& done) {
        for (auto it = m_Leaving.begin(); it != m_Leaving.end();) {
            auto next = std::next(it);
            if ((*it)->done && (*it)->launched) done.splice(done.end(), m_Leaving, it);
            it = next;
        }
    }

    void PutSum(uint64_t n, const DBString& what) {
        if (n == 0) return;
        Entry::PutLine(DBString().Format(L"%ls %llu ", m_Name.c_str(), static_cast<unsigned long long>(n)) + what);
    }

    // Caller holds m_Mutex. The entry to evict, of a tier up to maxTier, taken out of the map, or null;
    // saidEnded: it is one that called Ended.
    Ptr TakeFirst(int64_t now, bool silentNewcomer, int maxTier, int& tier, bool& saidEnded) {
        auto best = m_Map.end();
        EvictRank bestRank;
        // The oldest of the entries that said they ended: nothing goes before it.
        if (!m_Ended.empty()) {
            best = m_Map.find(m_Ended.begin()->second);
            bestRank.tier = EvictRank::kEnded;
        }
        if (best == m_Map.end()) {
            for (auto it = m_Map.begin(); it != m_Map.end(); ++it) {
                EvictRank r = it->second.entry->Rank(now, silentNewcomer);
                if (it->second.returned && r.tier > EvictRank::kEnded && r.tier < EvictRank::kTwoWay)
                    r.tier = EvictRank::kTwoWay;
                if (r.tier > maxTier) continue;
                if (best == m_Map.end() || r.tier < bestRank.tier ||
                    (r.tier == bestRank.tier &&
                     (r.since < bestRank.since || (r.since == bestRank.since && it->second.seq < best->second.seq)))) {
                    best = it;
                    bestRank = r;
                }
            }
        }
        if (best == m_Map.end()) return nullptr;
        saidEnded = m_Ended.count(best->second.seq) > 0;
        tier = bestRank.tier;
        if (m_Remember && tier != EvictRank::kEnded) Remember(best->first);
        Ptr entry = std::move(best->second.entry);
        m_Ended.erase(best->second.seq);
        m_Map.erase(best);
        return entry;
    }

    // Caller holds m_Mutex. Keeps the latest evicted keys, a few times as many as the bound, so
    // that the turnover of a flood does not push out a real client's before it is back.
    void Remember(const Key& key) {
        if (!m_Evicted.insert(key).second) return;
        m_EvictedOrder.push_back(key);
        while (m_EvictedOrder.size() > std::max<size_t>(4 * m_Bound, kRememberedKeys)) {
            m_Evicted.erase(m_EvictedOrder.front());
            m_EvictedOrder.pop_front();
        }
    }

    std::map<Key, Slot> m_Map;
    std::map<uint64_t, Key> m_Ended;  // arrival order -> key of the entries that said they ended
    LeftList m_Leaving;
    std::mutex m_Mutex;
    std::condition_variable m_Removed;
    std::atomic<size_t> m_Bound{0};
    size_t m_Outside = 0;   // out of the map, not yet stopped: evicted or swept
    size_t m_Evicting = 0;  // of those, evicted
    uint64_t m_Gone = 0;      // entries stopped after leaving or ended, ever: room may be made
    uint64_t m_GoneSeen = 0;  // m_Gone when the admitting thread last asked MakeRoom
    int m_LastID = 0;
    uint64_t m_NextSeq = 0;
    int64_t m_FailedAt = -1;
    Totals m_Totals;
    DBString m_Name;
    DBString m_Refusals = L"new clients refused: no room for them";
    LineGate m_EvictLines{kOwnEvictionLines};
    LineGate m_RefuseLines{0};
    bool m_Remember = false;
    // Entries held (Hold), once per holder: as many as threads that receive datagrams for the rule,
    // so a vector that stops growing after the first beats a set that allocates on every datagram.
    std::vector<const Entry*> m_Held;
    std::set<Key> m_Evicted;  // keys of clients evicted lately, for m_Remember
    std::deque<Key> m_EvictedOrder;
};
