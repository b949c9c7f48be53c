#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/Loopback.h"
#include "daemon/VEXAProxy.h"
#include "thread/Thread.h"

namespace {
using namespace std::chrono_literals;

struct Counter {
    std::atomic<int> calls{0};
    int stopAfter = 1000000;
};

bool CountProc(void* p) {
    auto* c = static_cast<Counter*>(p);
    return ++c->calls < c->stopAfter;
}
}  // namespace

// The daemon's pool runs a handle's procedure once or periodically; Stop ends a periodic
// procedure during its wait at once.
TEST(ThreadHandle, OneCallAndPeriodicInDaemonPool) {
    Counter once, periodic;
    Thread a("Test::Once", CountProc, &once);
    Thread b("Test::Periodic", CountProc, &periodic);
    a.Start(0, 0);
    b.Start(0, 20);
    lb::WaitUntil([&] { return once.calls >= 1 && periodic.calls >= 3; });
    EXPECT_EQ(1, once.calls);
    EXPECT_GE(periodic.calls, 3);

    Counter housekeeping;
    Thread c("Test::TimerClose", CountProc, &housekeeping);
    c.Start(8000, 8000);
    std::this_thread::sleep_for(10ms);
    auto t0 = std::chrono::steady_clock::now();
    c.Stop();
    b.Stop();
    a.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
    EXPECT_EQ(0, housekeeping.calls);
    int after = periodic.calls;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(after, periodic.calls);
    _Modul.m_Log.TakeQueued();
}
