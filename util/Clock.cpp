#include "util/Clock.h"

#include <atomic>
#include <ctime>

namespace {
std::atomic<int64_t> g_Offset{0};
}

int64_t Clock::Now() { return static_cast<int64_t>(std::time(nullptr)) + g_Offset.load(std::memory_order_relaxed); }
void Clock::Advance(int64_t seconds) { g_Offset.fetch_add(seconds, std::memory_order_relaxed); }
void Clock::Reset() { g_Offset.store(0, std::memory_order_relaxed); }
