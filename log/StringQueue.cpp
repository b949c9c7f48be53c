#include "log/StringQueue.h"

bool StringQueue::Put(std::string s) {
    bool kept = true;
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        while (size() > m_Max || (!empty() && m_Bytes + s.size() > kMaxBytes)) {
            m_Bytes -= front().size();
            pop();
            ++m_Dropped;
            kept = false;
        }
        wasEmpty = empty();
        m_Bytes += s.size();
        push(std::move(s));
        m_Count.store(size(), std::memory_order_relaxed);
    }
    // The one reader waits only on an empty queue: later lines need not wake it again.
    if (wasEmpty) m_Cond.notify_one();
    return kept;
}

bool StringQueue::ReadAll(std::deque<std::string>& out) {
    std::unique_lock<std::mutex> lock(m_Lock);
    m_Cond.wait(lock, [this] { return !empty() || m_Finished; });
    if (empty()) return false;
    if (out.empty()) {
        out.swap(c);
    } else {
        for (auto& line : c) out.push_back(std::move(line));
        c.clear();
    }
    m_Count.store(0, std::memory_order_relaxed);
    m_Bytes = 0;
    return true;
}

void StringQueue::Finish() {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Finished = true;
    }
    m_Cond.notify_all();
}

void StringQueue::Restart() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Finished = false;
}

uint64_t StringQueue::Dropped() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Dropped;
}

std::deque<std::string> StringQueue::TakeAll() {
    std::lock_guard<std::mutex> lock(m_Lock);
    std::deque<std::string> all;
    all.swap(c);
    m_Count.store(0, std::memory_order_relaxed);
    m_Bytes = 0;
    return all;
}
