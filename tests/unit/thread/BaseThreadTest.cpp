#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Loopback.h"
#include "thread/BaseThread.h"

namespace {
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Keeps its messages for the test instead of printing them.
class LogThread : public BaseThread {
public:
    using BaseThread::BaseThread;
    ~LogThread() override { Stop(); }
    void PutLog(const std::string& message) override {
        std::lock_guard<std::mutex> lock(m_LinesLock);
        m_Lines.push_back(message);
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(m_LinesLock);
        return m_Lines;
    }
    bool Has(const std::string& part) {
        for (const auto& line : Lines())
            if (line.find(part) != std::string::npos) return true;
        return false;
    }
    bool WaitFor(const std::string& part) { return lb::WaitUntil([&] { return Has(part); }); }

private:
    std::mutex m_LinesLock;
    std::vector<std::string> m_Lines;
};

// A procedure that counts its calls, can take time, and can be held inside a call.
struct Work {
    std::atomic<int> calls{0};
    int falseOnCall = 0;                 // returns false on this call (0: never)
    std::chrono::milliseconds busy{0};   // duration of the first call
    std::atomic<bool> hold{false};       // stay inside the call until released
    std::atomic<bool> inside{false};
    std::atomic<bool> done{false};
    std::vector<SteadyClock::time_point> starts;  // written by the one running thread only

    static bool Proc(void* p) {
        auto* w = static_cast<Work*>(p);
        w->inside = true;
        int n = ++w->calls;
        w->starts.push_back(SteadyClock::now());
        if (n == 1) std::this_thread::sleep_for(w->busy);
        while (w->hold) std::this_thread::sleep_for(1ms);
        w->done = true;
        w->inside = false;
        return n != w->falseOnCall;
    }
};

bool WaitUntil(const std::atomic<bool>& flag) { return lb::WaitUntil([&] { return flag.load(); }); }
void WaitEnd(BaseThread& t) { lb::WaitUntil([&] { return !t.IsRun(); }); }
}  // namespace

TEST(BaseThread, OneCallLogsItsLifecycle) {
    Work work;
    work.falseOnCall = 1;
    LogThread t;
    ASSERT_TRUE(t.Start("Worker", Work::Proc, &work, 0, 0, true));
    WaitEnd(t);
    EXPECT_EQ(1, work.calls);
    auto lines = t.Lines();
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ(0u, lines[0].find("Init  Worker(0,0) launching PID: "));
    EXPECT_EQ(0u, lines[1].find("Start Worker(0,0) PID: "));
    EXPECT_EQ(' ', lines[1].back());
    EXPECT_EQ("Exec " + lines[1].substr(6), lines[2]);
    EXPECT_EQ("Avto break " + lines[1].substr(6), lines[3]);
    EXPECT_EQ("End " + lines[1].substr(6), lines[4]);
    t.Stop();  // already ended: reaps it at once
    ASSERT_EQ(6u, t.Lines().size());
    EXPECT_EQ("Stop " + lines[1].substr(6), t.Lines()[5]);
    t.Stop();  // nothing attached any more
    EXPECT_EQ(6u, t.Lines().size());
}

TEST(BaseThread, PeriodicCallsUntilFalseThenStopReturnsAtOnce) {
    Work work;
    work.falseOnCall = 3;
    LogThread t;
    t.Start("Periodic", Work::Proc, &work, 0, 50, false);
    WaitEnd(t);
    ASSERT_EQ(3, work.calls);
    auto gap = work.starts[2] - work.starts[1];
    EXPECT_GE(gap, 50ms);
    EXPECT_LT(gap, 500ms);  // loose: sanitizer builds on a busy machine
    auto t0 = SteadyClock::now();
    t.Stop();
    EXPECT_LT(SteadyClock::now() - t0, 200ms);
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(3, work.calls);
    EXPECT_TRUE(t.Lines().empty());
}

TEST(BaseThread, StopEndsWaitAtOnceAndNeverStartedLogsNothing) {
    Work work;
    LogThread idle;
    idle.Stop();
    EXPECT_TRUE(idle.Lines().empty());

    LogThread t;
    t.Start("Waiting", Work::Proc, &work, 10000, 10000, true);
    ASSERT_TRUE(t.WaitFor("Start Waiting"));
    auto t0 = SteadyClock::now();
    t.Stop();
    EXPECT_LT(SteadyClock::now() - t0, 1000ms);  // the wait was 10 s
    EXPECT_FALSE(t.IsRun());
    EXPECT_EQ(0, work.calls);
    EXPECT_TRUE(t.Has("Stop Waiting(10000,10000) PID: "));
    EXPECT_TRUE(t.Has("End Waiting(10000,10000) PID: "));
}

// A Stop that comes before the new thread has even begun still returns only once the function can
// no longer run: never called, or called and returned.
TEST(BaseThread, StopRightAfterStartLeavesNoCallBehind) {
    for (int i = 0; i < 20; ++i) {
        Work work;
        work.busy = 2ms;
        LogThread t;
        t.Start("Quick", Work::Proc, &work, 0, 0, false);
        t.Stop();
        EXPECT_FALSE(t.IsRun());
        EXPECT_FALSE(work.inside);
        EXPECT_EQ(work.calls.load(), work.done ? 1 : 0);
        std::this_thread::sleep_for(1ms);
        EXPECT_EQ(work.calls.load(), work.done ? 1 : 0);
    }
}

TEST(BaseThread, HungStopIsReportedThenWaitsForTheEnd) {
    Work work;
    work.hold = true;
    LogThread t(100ms);
    t.Start("Hung", Work::Proc, &work, 0, 0, false);
    ASSERT_TRUE(WaitUntil(work.inside));
    std::thread releaser([&] {
        if (t.WaitFor(" - thread not complete")) std::this_thread::sleep_for(50ms);
        work.hold = false;
    });
    t.Stop();
    releaser.join();
    EXPECT_TRUE(work.done);
    EXPECT_FALSE(t.IsRun());
    ASSERT_EQ(1u, t.Lines().size());
    EXPECT_EQ(0u, t.Lines()[0].find("Hung(0,0) PID: "));
}

// Start and the destructor reached while the previous thread is inside the function log the forced
// disconnection and take the object over only once that call has returned.
TEST(BaseThread, ForcedDisconnectionWaitsForTheRunningCall) {
    Work first, second;
    first.hold = true;
    LogThread t(5s);
    t.Start("First", Work::Proc, &first, 0, 0, false);
    ASSERT_TRUE(WaitUntil(first.inside));
    std::thread releaser([&] {
        t.WaitFor("forced disconnection");
        first.hold = false;
    });
    t.Start("Second", Work::Proc, &second, 0, 0, false);
    releaser.join();
    EXPECT_TRUE(first.done);
    EXPECT_TRUE(t.Has("First(0,0) PID: "));
    EXPECT_TRUE(t.Has(" - BaseThread::Start: forced disconnection !!!"));
    WaitEnd(t);
    EXPECT_EQ(1, second.calls);

    Work third;
    third.hold = true;
    std::vector<std::string> lines;
    {
        auto owned = std::make_unique<BaseThread>(5s);
        owned->Start("Third", Work::Proc, &third, 0, 0, false);
        ASSERT_TRUE(WaitUntil(third.inside));
        std::thread late([&] {
            std::this_thread::sleep_for(50ms);
            third.hold = false;
        });
        testing::internal::CaptureStdout();
        owned.reset();
        lines.push_back(testing::internal::GetCapturedStdout());
        late.join();
    }
    EXPECT_TRUE(third.done);
    EXPECT_NE(std::string::npos, lines[0].find(" - BaseThread::~BaseThread: forced disconnection !!!"));
}

TEST(BaseThread, RestartAfterEndAndForcedStopOfAWaitingThread) {
    Work work;
    LogThread t;
    t.Start("Again", Work::Proc, &work, 0, 0, false);
    WaitEnd(t);
    t.Start("Again", Work::Proc, &work, 10000, 0, false);
    std::this_thread::sleep_for(10ms);
    t.Start("Again", Work::Proc, &work, 0, 0, false);
    WaitEnd(t);
    EXPECT_EQ(2, work.calls);
    auto lines = t.Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("Again(10000,0) PID: "));
    EXPECT_NE(std::string::npos, lines[0].find(" - BaseThread::Start: forced stop beginning"));
    EXPECT_NE(std::string::npos, lines[1].find(" - BaseThread::Start: forced stop ending"));
}

namespace {
bool SignalsBlocked(void* p) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    *static_cast<int*>(p) = sigismember(&mask, SIGINT) + sigismember(&mask, SIGTERM) + sigismember(&mask, SIGHUP);
    return false;
}
}  // namespace

TEST(BaseThread, ThreadsBlockTheDaemonsSignals) {
    int blocked = 0;
    LogThread t;
    t.Start("Mask", SignalsBlocked, &blocked, 0, 0, false);
    WaitEnd(t);
    EXPECT_EQ(3, blocked);
    sigset_t mine;
    pthread_sigmask(SIG_BLOCK, nullptr, &mine);
    EXPECT_EQ(0, sigismember(&mine, SIGINT));  // the starter's own mask is left as it was
}
