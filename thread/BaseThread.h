#pragma once
// An operating-system thread that calls one function once: the thread pool's workers, whose function
// serves procedures until the pool stops. Stop waits for the function to return, reporting a thread
// that takes longer than the hang limit, and reaps the thread.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>

class BaseThread {
public:
    // How long Stop waits before it reports a hung thread (it then goes on waiting).
    static constexpr std::chrono::milliseconds kHangLimit{30000};
    // Every thread gets this stack. The deepest any thread reached under every kind of rule, lookups
    // through the resolver included, was 44 KiB: a DNS association, whose 32,000-byte receive buffer
    // lies on its stack (bench/stack_depth.py, docs/benchmarks.md). Only the pages a thread touches
    // are resident, so the size costs address space, not memory; a quarter of a MiB leaves room for
    // name-service modules a host may add.
    static constexpr std::size_t kStackSize = 256 * 1024;

    // Test hook: the next this many thread creations fail as if the system had no threads left.
    static std::atomic<int> s_FailCreate;

    explicit BaseThread(std::chrono::milliseconds hangLimit = kHangLimit);
    // Joins a thread that Stop has not reaped (its owner has made it end), without a report: the
    // derived object that names it is gone by then.
    virtual ~BaseThread();
    BaseThread(const BaseThread&) = delete;
    BaseThread& operator=(const BaseThread&) = delete;

    // Once per object. Returns false (after logging why) when no thread could be created.
    bool Start(void (*func)(void*), void* arg);
    // Waits for the function to return, which its owner must have asked it to do: nothing here
    // interrupts it.
    void Stop();

    virtual std::string Name() = 0;
    virtual void PutLog(const std::string& message) = 0;

protected:
    // " PID: <tid> " once the thread has begun, else empty.
    std::string Pid();

private:
    static void* Body(void* self);

    void (*m_Func)(void*) = nullptr;
    void* m_Arg = nullptr;
    pthread_t m_Thread{};
    bool m_Attached = false;
    std::mutex m_Lock;
    std::condition_variable m_Cond;
    bool m_Running = false;  // the function has not returned yet: under m_Lock
    std::string m_Pid;       // written by the thread, read by Name() from any thread: under m_Lock
    std::chrono::milliseconds m_HangLimit;
};
