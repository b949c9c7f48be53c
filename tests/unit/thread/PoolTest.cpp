// The daemon's thread pool as ports and connections use it (its workers are the plain thread's only
// users, so the plain thread is tested through them): how often a procedure runs, stops
// that end waits at once or wait for a hung procedure, and the lines written when something goes
// wrong.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/Loopback.h"
#include "daemon/VEXAProxy.h"
#include "thread/PoolThread.h"

namespace {
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// A pool line without its time stamp, with the numbers that vary (thread id, overrun) as '#'.
std::string Plain(const std::string& line) { return std::regex_replace(line, std::regex("(PID: |  -)\\d+"), "$1#"); }

// A procedure that counts its calls, can take time, be held inside a call, stop itself or throw, and
// records which of the daemon's signals its thread blocks.
struct Job {
    std::atomic<int> calls{0};
    std::atomic<int> blocked{0};
    std::atomic<bool> hold{false};
    std::atomic<bool> inside{false};
    int falseOn = 0;  // returns false on this call (0: never)
    std::chrono::milliseconds busy{0};
    BasePoolThread* stopSelf = nullptr;
    const char* exception = nullptr;

    static bool Proc(void* p) {
        auto* j = static_cast<Job*>(p);
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        j->blocked = sigismember(&mask, SIGINT) + sigismember(&mask, SIGTERM) + sigismember(&mask, SIGHUP);
        j->inside = true;
        const int n = ++j->calls;
        std::this_thread::sleep_for(j->busy);
        while (j->hold) std::this_thread::sleep_for(1ms);
        if (j->stopSelf) j->stopSelf->StopProc(Proc, p);
        j->inside = false;
        if (j->exception) throw std::runtime_error(j->exception);
        return n != j->falseOn;
    }
};

// Waits until the pool has written the line.
bool WaitFor(lb::MainLog& log, const std::string& line) {
    return lb::WaitUntil([&] {
        const auto& lines = log.Take().lines;
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return Plain(l) == line; });
    });
}

// Lets a held procedure go shortly after its hang has been written.
std::thread ReleaseWhenReported(lb::MainLog& log, Job& job, const std::string& line) {
    return std::thread([&log, &job, line] {
        if (WaitFor(log, line)) std::this_thread::sleep_for(20ms);
        job.hold = false;
    });
}
}  // namespace

// On one worker throughout: a procedure runs once, or every period until it says false; one that
// stops itself breaks its own wait instead of waiting for itself; a stop ends a procedure that
// overruns its period (each overrun is written) and a first delay at once. What goes wrong is
// written whatever the pool's own logging, in this order, and the pool goes on: no thread for a new
// worker, a pair started again while it runs, one that does not end within the limit after its stop,
// one that throws, one that does not end within the limit after the pool's stop, work for a stopped
// pool, and a pool lock held past the limit (the waiter then still waits rather than going on as a
// second holder).
TEST(Pool, RunsUntilStoppedAndWritesEachFault) {
    lb::TakeLog();
    lb::MainLog log;
    PoolThread pool("TestPool", 200ms);
    auto idle = [&] { return lb::WaitUntil([&] { return pool.Workers().busy == 0; }); };
    Job job, untilFalse, self, overruns, delayed, held, thrower, last;
    BaseThread::s_FailCreate = 1;
    EXPECT_EQ(nullptr, pool.StartProc("Job", Job::Proc, &job, 0, 0));
    auto* w = pool.StartProc("Job", Job::Proc, &job, 0, 0);
    ASSERT_NE(nullptr, w);
    ASSERT_TRUE(idle());
    untilFalse.falseOn = 3;
    EXPECT_EQ(w, pool.StartProc("UntilFalse", Job::Proc, &untilFalse, 0, 5));
    ASSERT_TRUE(idle());
    self.stopSelf = &pool;
    EXPECT_EQ(w, pool.StartProc("StopsItself", Job::Proc, &self, 0, 10000));
    ASSERT_TRUE(idle());
    overruns.busy = 3ms;
    EXPECT_EQ(w, pool.StartProc("Overruns", Job::Proc, &overruns, 0, 1));
    const std::string overrun = "Duration of procedure is longer than timer interval Overruns(0,1) PID: # Func TRUE end  -# 1";
    ASSERT_TRUE(WaitFor(log, overrun));
    const auto t0 = SteadyClock::now();
    pool.StopProc(Job::Proc, &overruns);
    EXPECT_EQ(w, pool.StartProc("Delayed", Job::Proc, &delayed, 10000, 0));
    pool.StopProc(Job::Proc, &delayed);
    EXPECT_LT(SteadyClock::now() - t0, 1000ms);  // not the 10 s of the delay
    EXPECT_EQ(std::vector<int>({1, 3, 1, 0}), std::vector<int>({job.calls, untilFalse.calls, self.calls, delayed.calls}));
    EXPECT_EQ(3, job.blocked);  // SIGINT, SIGTERM and SIGHUP never run their handler on a worker
    EXPECT_EQ(1u, pool.Workers().idle);  // the failed start left no worker behind

    held.hold = true;
    EXPECT_EQ(w, pool.StartProc("Held", Job::Proc, &held, 0, 0));
    ASSERT_TRUE(lb::WaitUntil([&] { return held.inside.load(); }));
    EXPECT_EQ(w, pool.StartProc("Again", Job::Proc, &held, 0, 0));
    std::thread releaser = ReleaseWhenReported(log, held, "Held(0,0) PID: # Func begin  - thread not complete");
    pool.StopProc(Job::Proc, &held);  // returns only once the procedure has ended
    releaser.join();
    EXPECT_FALSE(held.inside);
    thrower.exception = "boom";
    EXPECT_EQ(w, pool.StartProc("Throws", Job::Proc, &thrower, 0, 0));
    ASSERT_TRUE(idle());
    last.hold = true;
    EXPECT_EQ(w, pool.StartProc("Last", Job::Proc, &last, 0, 0));
    ASSERT_TRUE(lb::WaitUntil([&] { return last.inside.load(); }));
    releaser = ReleaseWhenReported(log, last, "Last(0,0) PID: # Func begin  - thread not complete");
    pool.Stop();
    releaser.join();
    EXPECT_FALSE(last.inside);
    EXPECT_EQ(nullptr, pool.StartProc("Late", Job::Proc, &job, 0, 0));

    PoolThread locked("TestPool", 1000ms);
    std::atomic<bool> holding{false}, released{false};
    std::thread holder([&] {
        locked.Lock("Holder");
        holding = true;
        WaitFor(log, "BasePoolThread::StartProc Late act:Holder - lock during 1 sec");
        released = true;
        locked.Unlock();
    });
    ASSERT_TRUE(lb::WaitUntil([&] { return holding.load(); }));
    EXPECT_NE(nullptr, locked.StartProc("Late", Job::Proc, &job, 0, 0));
    EXPECT_TRUE(released);
    holder.join();

    std::vector<std::string> lines;
    for (const auto& l : log.Take().lines) lines.push_back(Plain(l));
    std::vector<std::string> expected(static_cast<size_t>(std::count(lines.begin(), lines.end(), overrun)) + 1, overrun);
    expected[0] = "std::system_error Job(0,0)SetParamExec(Job  what():Resource temporarily unavailable";
    expected.insert(expected.end(), {
        "Again NOT added to pool TestPool because there is already a thread Held(0,0) PID: # Func begin ",
        "Held(0,0) PID: # Func begin  - thread not complete",
        "Held(0,0) PID: # Func begin 1 1",  // the pool's workers: procedure, handed over, stop asked
        "Throws(0,0) PID: # Func begin  - exception what():boom",
        "Last(0,0) PID: # Func begin  - thread not complete",
        "Late NOT added to pool TestPool because the pool is stopped",
        "BasePoolThread::StartProc Late act:Holder - lock during 1 sec",
    });
    EXPECT_EQ(lines, expected);
}
