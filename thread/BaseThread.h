#pragma once
// A named operating-system thread that calls a user function once or periodically, after an optional
// first delay, until the function returns false or a stop is requested. A stop request ends the waits
// between calls, never a running call; Stop returns only once the thread has ended.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

class BaseThread {
public:
    // How long Stop waits before it reports a hung thread (it then goes on waiting).
    static constexpr std::chrono::milliseconds kHangLimit{30000};
    // Every thread gets this stack. The deepest any thread reached under every kind of rule was
    // 44 KiB (bench/stack_depth.py: a DNS association's 32,000-byte datagram buffer, lookups through
    // the resolver). Only the pages a thread touches are resident, so the size costs address space,
    // not memory; a quarter of a MiB leaves room for name-service modules a host may add.
    static constexpr std::size_t kStackSize = 256 * 1024;

    // When true, every thread logs its lifecycle as if started with isLog.
    static std::atomic<bool> s_IsAllLog;
    // Test hook: the next this many thread creations fail as if the system had no threads left.
    static std::atomic<int> s_FailCreate;

    explicit BaseThread(std::chrono::milliseconds hangLimit = kHangLimit);
    virtual ~BaseThread();
    BaseThread(const BaseThread&) = delete;
    BaseThread& operator=(const BaseThread&) = delete;

    // Returns false (after logging why) when no thread could be created.
    bool Start(std::string name, bool (*func)(void*), void* arg, int firstDelayMs, int periodMs, bool isLog);
    void Stop();
    // Waits ms milliseconds; false when a stop was requested.
    bool WaitBeforeExec(int ms);
    static void Proc(BaseThread* thread);

    virtual void PrintListProc();
    virtual std::string Name();
    virtual void PutLog(const std::string& message);

    bool IsRun() const { return m_IsRun.load(); }
    bool IsExec() const { return m_IsExec.load(); }

    // Clears the run flags of its owner however the body is left.
    class Borders {
    public:
        explicit Borders(BaseThread* owner) : m_Owner(owner) {}
        virtual ~Borders();
        Borders(const Borders&) = delete;
        Borders& operator=(const Borders&) = delete;

    private:
        BaseThread* m_Owner;
    };

protected:
    // " PID: <tid> " once the body has begun, else empty.
    std::string Pid();
    bool IsLogOn() const { return m_IsLog || s_IsAllLog.load(); }
    std::chrono::milliseconds HangLimit() const { return m_HangLimit; }

private:
    static void* Trampoline(void* self);
    // Waits for the body to end (reporting a hang once), then reaps the thread.
    void WaitEnded();

    bool (*m_Func)(void*) = nullptr;
    void* m_Arg = nullptr;
    pthread_t m_Thread{};
    bool m_Attached = false;
    std::atomic<bool> m_IsRun{false};
    std::atomic<bool> m_IsExec{false};
    std::string m_Name;
    std::atomic<bool> m_Break{false};
    int32_t m_FirstDelay = 0;
    int32_t m_Period = 0;
    bool m_IsLog = false;
    std::mutex m_Lock;
    std::condition_variable m_Cond;
    std::string m_Pid;  // written by the body, read by Name() from any thread: under m_Lock
    std::chrono::milliseconds m_HangLimit;
};
