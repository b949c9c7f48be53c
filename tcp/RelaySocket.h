#pragma once
// A stream socket that one thread may close while others are blocked in calls on it.
//
// Closing a descriptor that another thread is about to pass to recv() is not enough: the number may
// be handed out again by the next accept() and that thread would then read another connection's
// bytes. Every call therefore runs under a shared lock; Close() first takes the handle away and shuts
// the socket down (which wakes blocked calls), then waits for the calls in flight to leave before it
// releases the number.
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <shared_mutex>

#include "util/Net.h"

class RelaySocket {
public:
    RelaySocket() = default;
    ~RelaySocket() { Close(); }
    RelaySocket(const RelaySocket&) = delete;
    RelaySocket& operator=(const RelaySocket&) = delete;

    // Takes ownership of fd; the socket must be closed (fresh or after Close).
    void Reset(int fd);
    bool IsOpen() const { return m_Fd.load() != -1; }

    // Interruptions by signals are retried. A socket that is already closed reads as an orderly end
    // (0) and fails sends and connects with EBADF.
    ssize_t Recv(void* buf, size_t len);
    ssize_t SendAll(const void* data, size_t len);
    int Connect(const SockAddr& to);
    int Accept(SockAddr& from);

    // Shuts both directions down and closes, exactly once whoever calls it.
    void Close();

private:
    std::atomic<int> m_Fd{-1};
    std::shared_mutex m_Use;
};
