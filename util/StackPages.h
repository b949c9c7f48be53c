#pragma once
// A pool worker keeps every stack page it ever touched (a connection's first data, a name lookup)
// although nothing lives below its frame while it waits, and a held connection keeps two workers.
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

// Hands back the pages of the calling thread's stack below the caller's frame. Only for threads
// the daemon started: the main thread's stack bounds cost a file read to learn.
[[gnu::noinline]] inline void ReleaseStackBelow() {
    static const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    thread_local uintptr_t low = 0;
    if (low == 0) {
        pthread_attr_t attr;
        void* base = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
        pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
        low = (reinterpret_cast<uintptr_t>(base) + page - 1) & ~(page - 1);
    }
    char here;
    // The page in use and the one below it stay: madvise's own call and a signal may use them.
    const uintptr_t end = (reinterpret_cast<uintptr_t>(&here) & ~(page - 1)) - page;
    if (end > low) ::madvise(reinterpret_cast<void*>(low), end - low, MADV_DONTNEED);
}
