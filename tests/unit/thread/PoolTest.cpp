#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/Loopback.h"
#include "daemon/VEXAProxy.h"
#include "thread/PoolThread.h"
#include "thread/Thread.h"

namespace {
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// The pool's lines as the main log would write them, without their time stamps.
class LogTap {
public:
    LogTap() { _Modul.m_Log.TakeQueued(); }
    const std::vector<std::string>& Lines() {
        for (auto& line : _Modul.m_Log.TakeQueued()) m_Lines.push_back(line.substr(20));
        return m_Lines;
    }
    int Count(const std::string& part) {
        int n = 0;
        for (const auto& line : Lines()) n += line.find(part) != std::string::npos;
        return n;
    }
    bool WaitFor(const std::string& part) { return lb::WaitUntil([&] { return Count(part) > 0; }); }

private:
    std::vector<std::string> m_Lines;
};

struct Job {
    std::atomic<int> calls{0};
    std::atomic<bool> hold{false};
    std::atomic<bool> inside{false};
    std::atomic<bool> busyWorker{false};
    bool result = true;
    std::chrono::milliseconds busy{0};
    BasePoolThread* stopSelf = nullptr;

    static bool Proc(void* p) {
        auto* j = static_cast<Job*>(p);
        j->inside = true;
        ++j->calls;
        std::this_thread::sleep_for(j->busy);
        while (j->hold) std::this_thread::sleep_for(1ms);
        if (j->stopSelf) j->stopSelf->StopProc(Proc, p);
        j->inside = false;
        return j->result;
    }
};

bool WaitUntil(const std::atomic<bool>& flag) { return lb::WaitUntil([&] { return flag.load(); }); }
bool WaitIdle(BasePoolThread::Thread* w) { return lb::WaitUntil([&] { return !w->IsBusy(); }); }
}  // namespace

TEST(Pool, EndedProcedureFreesItsWorkerForTheNext) {
    LogTap log;
    PoolThread pool("TestPool", true, 200ms);
    Job p1, p2, p3;
    auto* w1 = pool.StartProc("P1", Job::Proc, &p1, 0, 10000);
    auto* w2 = pool.StartProc("P2", Job::Proc, &p2, 0, 10000);
    ASSERT_NE(nullptr, w1);
    ASSERT_NE(w1, w2);
    auto t0 = SteadyClock::now();
    pool.StopProc(Job::Proc, &p1);  // ends its 10-second wait at once
    EXPECT_LT(SteadyClock::now() - t0, 500ms);
    EXPECT_FALSE(w1->IsBusy());
    EXPECT_EQ(1, log.Count("Stop  P1(0,10000) PID: "));
    EXPECT_EQ(1, log.Count(" ended in pool TestPool"));

    EXPECT_EQ(w1, pool.StartProc("P3", Job::Proc, &p3, 0, 0));
    ASSERT_TRUE(WaitIdle(w1));
    EXPECT_EQ(1, p3.calls);
    EXPECT_EQ(2u, pool.Count());
    EXPECT_EQ(1u, pool.Workers().busy);  // P2
    EXPECT_EQ(1u, pool.Workers().idle);
    EXPECT_EQ(1, log.Count("Start P3(0,0) PID: "));
    EXPECT_EQ(1, log.Count(" SetParamExec(P3 not new"));

    // P3 has ended: stopping it returns at once and writes nothing.
    size_t before = log.Lines().size();
    t0 = SteadyClock::now();
    pool.StopProc(Job::Proc, &p3);
    EXPECT_LT(SteadyClock::now() - t0, 50ms);
    pool.StopProc(Job::Proc, &p1);  // never running any more either
    EXPECT_EQ(before, log.Lines().size());

    lb::WaitUntil([&] { return p2.calls > 0; });
    t0 = SteadyClock::now();
    pool.Stop();  // also ends P2's 10-second wait
    EXPECT_LT(SteadyClock::now() - t0, 500ms);
    EXPECT_EQ(0u, pool.Count());
    EXPECT_FALSE(w1->IsRun());
    EXPECT_FALSE(w2->IsRun());
    EXPECT_EQ(1, p2.calls);
}

TEST(Pool, SamePairIsRefusedWhileBusyAndStartsAfterItEnded) {
    LogTap log;
    PoolThread pool("TestPool", false, 200ms);
    Job job;
    job.hold = true;
    job.result = false;
    auto* w = pool.StartProc("Busy", Job::Proc, &job, 0, 0);
    ASSERT_TRUE(WaitUntil(job.inside));
    EXPECT_EQ(w, pool.StartProc("Busy again", Job::Proc, &job, 0, 0));
    auto lines = log.Lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].find("Busy again NOT added to pool TestPool because there is already a thread "
                                "Busy(0,0) PID: "));
    EXPECT_EQ(' ', lines[0].back());
    job.hold = false;
    ASSERT_TRUE(WaitIdle(w));
    EXPECT_EQ(w, pool.StartProc("Busy", Job::Proc, &job, 0, 0));
    ASSERT_TRUE(WaitIdle(w));
    EXPECT_EQ(2, job.calls);
    EXPECT_EQ(1u, log.Lines().size());
    EXPECT_EQ(1u, pool.Count());
}

// Every call overruns its period: each is reported, and a stop still ends the procedure.
TEST(Pool, OverrunIsReportedAndStillStoppable) {
    LogTap log;
    PoolThread pool("TestPool", false, 200ms);
    Job job;
    job.busy = 150ms;
    Thread t(pool, "Slow", Job::Proc, &job);
    t.Start(0, 100);
    ASSERT_TRUE(log.WaitFor("Duration of procedure is longer than timer interval Slow(0,100) PID: "));
    t.Stop();
    int calls = job.calls;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(calls, job.calls);
    // "... Func TRUE end  <period minus duration> <period>": about -50, more on a loaded machine.
    const std::string& line = log.Lines()[0];
    ASSERT_EQ(" 100", line.substr(line.size() - 4));
    size_t at = line.find(" Func TRUE end  ");
    ASSERT_NE(std::string::npos, at);
    int overrun = std::stoi(line.substr(at + 16));
    EXPECT_LE(overrun, -45);
    EXPECT_GT(overrun, -5000);
}

// A procedure that does not end within the limit after StopProc is reported with the worker list;
// StopProc still returns only once it has ended.
TEST(Pool, HungProcedureIsReportedAndWaitedFor) {
    LogTap log;
    PoolThread pool("TestPool", false, 100ms);
    Job job;
    job.hold = true;
    Thread t(pool, "Hung", Job::Proc, &job);
    t.Start(0, 0);
    ASSERT_TRUE(WaitUntil(job.inside));
    std::thread releaser([&] {
        log.WaitFor(" - thread not complete");
        std::this_thread::sleep_for(30ms);
        job.hold = false;
    });
    t.Stop();
    releaser.join();
    EXPECT_FALSE(job.inside);
    auto lines = log.Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(0u, lines[0].find("Hung(0,0) PID: "));
    EXPECT_NE(std::string::npos, lines[0].find(" Func begin  - thread not complete"));
    EXPECT_EQ(" Func begin 1 1", lines[1].substr(lines[1].size() - 15));
}

// A pool lock held past the limit is reported with its holder; the waiter then still waits for it
// rather than going on as a second holder.
TEST(Pool, LockHeldTooLongIsReportedThenWaitedFor) {
    LogTap log;
    PoolThread pool("TestPool", false, 1000ms);
    std::atomic<bool> held{false}, released{false};
    std::thread holder([&] {
        pool.Lock("Holder");
        held = true;
        log.WaitFor(" - lock during ");
        released = true;
        pool.Unlock();
    });
    ASSERT_TRUE(WaitUntil(held));
    Job job;
    auto* w = pool.StartProc("Late", Job::Proc, &job, 0, 0);
    EXPECT_TRUE(released);
    holder.join();
    ASSERT_NE(nullptr, w);
    ASSERT_TRUE(WaitIdle(w));
    EXPECT_EQ(1, job.calls);
    ASSERT_EQ(1u, log.Lines().size());
    EXPECT_EQ("BasePoolThread::StartProc Late act:Holder - lock during 1 sec", log.Lines()[0]);
}

TEST(Pool, WorkerCreationFailureLeavesThePoolConsistent) {
    LogTap log;
    PoolThread pool("TestPool", false, 200ms);
    Job job;
    BaseThread::s_FailCreate = 1;
    EXPECT_EQ(nullptr, pool.StartProc("NoRoom", Job::Proc, &job, 0, 0));
    EXPECT_EQ(0u, pool.Count());
    ASSERT_EQ(1u, log.Lines().size());
    EXPECT_EQ("std::system_error NoRoom(0,0)SetParamExec(NoRoom  what():Resource temporarily unavailable",
              log.Lines()[0]);
    auto t0 = SteadyClock::now();
    pool.StopProc(Job::Proc, &job);
    EXPECT_LT(SteadyClock::now() - t0, 50ms);
    auto* w = pool.StartProc("NoRoom", Job::Proc, &job, 0, 0);
    ASSERT_NE(nullptr, w);
    ASSERT_TRUE(WaitIdle(w));
    EXPECT_EQ(1, job.calls);
}

TEST(Pool, SelfStopAndStoppedPoolRefusesWork) {
    LogTap log;
    PoolThread pool("TestPool", false, 200ms);
    Job self;
    self.stopSelf = &pool;
    auto* w = pool.StartProc("Self", Job::Proc, &self, 0, 10000);
    ASSERT_TRUE(WaitIdle(w));  // its own stop broke its wait instead of waiting for itself
    EXPECT_EQ(1, self.calls);

    pool.Stop();
    Job late;
    EXPECT_EQ(nullptr, pool.StartProc("Late", Job::Proc, &late, 0, 0));
    EXPECT_EQ(1, log.Count("Late NOT added to pool TestPool because the pool is stopped"));
    pool.StopProc(Job::Proc, &late);
    pool.Stop();
    EXPECT_EQ(0, late.calls);
}

// Starters on several threads, each restarting its own procedures as soon as they end: every start
// runs exactly once, a pair never runs twice at once, and workers are reused instead of multiplied.
TEST(Pool, ConcurrentRestartsReuseWorkersAndRunEachStartOnce) {
    LogTap log;
    PoolThread pool("TestPool", false, 2000ms);
    constexpr int kStarters = 4, kRounds = 200;
    std::vector<Job> jobs(2 * kStarters);
    for (auto& j : jobs) j.result = false;
    std::vector<std::thread> starters;
    for (int s = 0; s < kStarters; ++s)
        starters.emplace_back([&, s] {
            for (int r = 0; r < kRounds; ++r)
                for (int k = 2 * s; k < 2 * s + 2; ++k) {
                    Thread t(pool, "Job" + std::to_string(k), Job::Proc, &jobs[k]);
                    const int before = jobs[k].calls;
                    t.Start(0, 0);
                    lb::WaitUntil([&] { return jobs[k].calls > before; });
                    t.Stop();
                }
        });
    for (auto& t : starters) t.join();
    for (auto& j : jobs) EXPECT_EQ(kRounds, j.calls);
    EXPECT_EQ(0, log.Count("NOT added"));
    EXPECT_LE(pool.Count(), static_cast<size_t>(2 * kStarters));
}
