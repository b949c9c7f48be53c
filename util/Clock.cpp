#include "util/Clock.h"

#include <atomic>
#include <ctime>

namespace {
std::atomic<int64_t> g_Offset{0};      // ms added to the monotonic clock
std::atomic<int64_t> g_WallOffset{0};  // s added to the wall clock
}  // namespace

int64_t Clock::Now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000 + g_Offset.load(std::memory_order_relaxed);
}
int64_t Clock::Wall() {
    return static_cast<int64_t>(std::time(nullptr)) + g_WallOffset.load(std::memory_order_relaxed);
}
void Clock::Advance(std::chrono::milliseconds by) { g_Offset.fetch_add(by.count(), std::memory_order_relaxed); }
void Clock::StepWall(std::chrono::seconds by) { g_WallOffset.fetch_add(by.count(), std::memory_order_relaxed); }
void Clock::Reset() {
    g_Offset.store(0, std::memory_order_relaxed);
    g_WallOffset.store(0, std::memory_order_relaxed);
}
