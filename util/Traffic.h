#pragma once
// What one rule relayed since start, for the status report: bytes (TCP) or datagrams (UDP, DNS,
// RM7) taken from clients and passed on, and sent to clients. A relay counts just before its send
// and takes the count back when the send failed: counted after it, a peer could already hold the
// data (and the operator ask for the figures) before the count. Relaxed, because only the report
// reads them and it needs no exact moment.
#include <atomic>
#include <cstdint>

struct Traffic {
    std::atomic<uint64_t> in{0};   // from clients: to the target or server, or answered here
    std::atomic<uint64_t> out{0};  // to clients

    void Add(uint64_t toPeer, uint64_t toClient) {
        in.fetch_add(toPeer, std::memory_order_relaxed);
        out.fetch_add(toClient, std::memory_order_relaxed);
    }
    void TakeBack(uint64_t toPeer, uint64_t toClient) {
        in.fetch_sub(toPeer, std::memory_order_relaxed);
        out.fetch_sub(toClient, std::memory_order_relaxed);
    }
};
