#pragma once
// A receive buffer hands its pages back once its stream goes quiet. Memory a receive once wrote
// stays resident, so without this each side of a connection that once carried bulk data keeps its
// whole buffer while it is held idle, and the memory stays resident after the connection has ended.
// A stream of short messages never touches a whole page of the buffer and never pays anything for this.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

class QuietPages {
public:
    QuietPages(char* buffer, size_t size)
        : m_Start(Address(buffer)), m_Begin(RoundUp(m_Start)), m_Limit(RoundDown(m_Start + size)) {}
    // Gone with the buffer's user: freed memory stays resident for the next connections otherwise.
    ~QuietPages() { Release(); }
    QuietPages(const QuietPages&) = delete;
    QuietPages& operator=(const QuietPages&) = delete;

    // After a receive of n bytes into the buffer; true when it was the first receive since the
    // last release to reach a whole page (the caller then arms its quiet timer).
    bool Note(size_t n) {
        if (n <= m_Used) return false;
        m_Used = n;
        if (m_Dirty || RoundDown(m_Start + n) <= m_Begin) return false;
        m_Dirty = true;
        return true;
    }

    // Gives the whole pages written since the last release back to the system; they read as zeros
    // afterwards, so the buffer's content must no longer be needed.
    void Release() {
        if (!m_Dirty) return;
        uintptr_t end = RoundDown(m_Start + m_Used);
        if (end > m_Limit) end = m_Limit;
        if (end > m_Begin) ::madvise(reinterpret_cast<void*>(m_Begin), end - m_Begin, MADV_DONTNEED);
        m_Used = 0;
        m_Dirty = false;
    }

private:
    static uintptr_t Address(char* p) { return reinterpret_cast<uintptr_t>(p); }
    static uintptr_t Page() {
        static const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
        return page;
    }
    static uintptr_t RoundUp(uintptr_t a) { return (a + Page() - 1) & ~(Page() - 1); }
    static uintptr_t RoundDown(uintptr_t a) { return a & ~(Page() - 1); }

    uintptr_t m_Start;   // the buffer; receives write from here on
    uintptr_t m_Begin;   // the first whole page inside it
    uintptr_t m_Limit;   // the end of the last whole page inside it
    size_t m_Used = 0;   // the longest receive since the last release
    bool m_Dirty = false;
};
