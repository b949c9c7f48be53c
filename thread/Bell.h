#pragma once
// A wake-up for a sleeper whose condition is guarded by a mutex it releases before sleeping. The
// sleeper takes a ticket, checks its condition (under its mutex), releases the mutex and sleeps on
// the ticket; whoever changes the condition rings afterwards, which ends that sleep or makes it
// return at once. A condition variable does the same, but the C library retakes the mutex of a woken
// waiter marked contended, so the waiter's next unlock costs a futex call even when nobody waits.
// std::atomic::wait would do too, but the C++ library spins and yields up to a dozen times before it
// sleeps: system calls and switches an idle pool worker has no use for.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

class Bell {
public:
    uint32_t Ticket() const { return m_Word.load(); }

    // Returns once rung after ticket was taken, or at once if it already was; may also return
    // without a ring: the caller checks its condition again.
    void Wait(uint32_t ticket) {
        m_Sleepers.fetch_add(1);
        if (m_Word.load() == ticket) Futex(FUTEX_WAIT_PRIVATE, ticket);
        m_Sleepers.fetch_sub(1);
    }

    // Wakes every sleeper; no system call when none sleeps (sequentially consistent on both sides:
    // a sleeper not counted yet sees the new word and does not sleep).
    void Ring() {
        m_Word.fetch_add(1);
        if (m_Sleepers.load() > 0) Futex(FUTEX_WAKE_PRIVATE, INT_MAX);
    }

private:
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
                  "the kernel waits on the atomic's own word");
    void Futex(int op, uint32_t value) {
        ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&m_Word), op, value, nullptr, nullptr, 0);
    }

    std::atomic<uint32_t> m_Word{0};
    std::atomic<uint32_t> m_Sleepers{0};
};
