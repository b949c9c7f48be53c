#pragma once
// Bounded FIFO of log lines: many producers, one consumer. A full queue drops its oldest lines so
// that callers never wait for the disk. Full is a number of lines, or kMaxBytes of them: a DNS log
// record of a 64 KiB message over TCP is a line of 196 KB, and a thousand of those would be memory
// that outside input could fill.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <queue>
#include <string>

class StringQueue : private std::queue<std::string, std::deque<std::string>> {
public:
    static constexpr size_t kMaxBytes = 16 << 20;

    explicit StringQueue(unsigned long limit) : m_Max(limit) {}
    virtual ~StringQueue() = default;
    StringQueue(const StringQueue&) = delete;
    StringQueue& operator=(const StringQueue&) = delete;

    // Appends s; returns false when older lines had to be dropped to make room.
    bool Put(std::string s);
    // Waits for lines and moves every queued one into out (appended, oldest first). Returns false
    // only once Finish was called and every line queued before it has been read.
    bool ReadAll(std::deque<std::string>& out);
    // Lets the reader drain what is queued and then end.
    void Finish();
    // Makes the queue usable again after Finish (a log reopened after Close).
    void Restart();
    // Without the lock: producers look at it on every line.
    size_t Size() const { return m_Count.load(std::memory_order_relaxed); }
    uint64_t Limit() const { return m_Max; }
    // Lines dropped since construction to make room.
    uint64_t Dropped();
    // Takes every queued line without waiting (tests read what a log would have written).
    std::deque<std::string> TakeAll();

private:
    std::mutex m_Lock;
    std::condition_variable m_Cond;
    uint64_t m_Max;
    uint64_t m_Dropped = 0;
    bool m_Finished = false;
    size_t m_Bytes = 0;  // of the lines queued
    std::atomic<size_t> m_Count{0};  // size(), kept under m_Lock
};
