#include "util/Clock.h"

#include <atomic>
#include <ctime>

namespace {
std::atomic<int64_t> g_Offset{0};      // ms added to the monotonic clock
std::atomic<int64_t> g_Frozen{-1};     // ms on the monotonic clock where a test stopped it, or -1
std::atomic<int64_t> g_WallOffset{0};  // s added to the wall clock

int64_t Monotonic() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
}  // namespace

int64_t Clock::Now() {
    const int64_t frozen = g_Frozen.load(std::memory_order_relaxed);
    return (frozen >= 0 ? frozen : Monotonic()) + g_Offset.load(std::memory_order_relaxed);
}
int64_t Clock::Wall() {
    return static_cast<int64_t>(std::time(nullptr)) + g_WallOffset.load(std::memory_order_relaxed);
}
void Clock::Advance(std::chrono::milliseconds by) { g_Offset.fetch_add(by.count(), std::memory_order_relaxed); }
void Clock::Freeze() { g_Frozen.store(Monotonic(), std::memory_order_relaxed); }
void Clock::StepWall(std::chrono::seconds by) { g_WallOffset.fetch_add(by.count(), std::memory_order_relaxed); }
void Clock::Reset() {
    g_Offset.store(0, std::memory_order_relaxed);
    g_Frozen.store(-1, std::memory_order_relaxed);
    g_WallOffset.store(0, std::memory_order_relaxed);
}
