#pragma once
// The thread pool: a procedure (function, argument) runs on an idle worker or on a new one; the same
// pair never runs twice at once; a stop interrupts the procedure's waits and waits for it to return.
// Workers live until the pool stops, so connection churn does not create and destroy threads.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "thread/BaseThread.h"
#include "thread/Bell.h"

class BasePoolThread {
public:
    // A worker: a BaseThread whose one call serves one procedure after another.
    class Thread : public BaseThread {
    public:
        Thread(BasePoolThread* pool, std::chrono::milliseconds hangLimit);
        ~Thread() override;

        std::string Name() override;
        void PutLog(const std::string& message) override;

        // The worker's body: serves procedures until the pool stops.
        static void PoolThreadProc(void* worker);

    private:
        friend class BasePoolThread;
        void SetState(const char* state);
        // Name() for a caller that holds m_NotifyLock.
        std::string NameLocked();
        void Exec(bool (*func)(void*), void* arg, int firstDelay, int period);
        bool WaitBeforePoolExec(int ms, int period);
        // Makes the worker idle; lock holds m_NotifyLock and is released, then stoppers are woken.
        void EndProc(std::unique_lock<std::mutex>& lock);

        BasePoolThread* m_Pool;
        uint64_t m_Seq = 0;  // creation order: an idle worker is taken oldest first
        // Busy. Changed under m_NotifyLock, together with the procedure fields below, so a worker
        // seen idle under that lock has no procedure.
        std::atomic<bool> m_Notify{false};
        std::mutex m_NotifyLock;                // guards the procedure fields; held only briefly
        Bell m_NotifyBell;                      // wakes the idle worker: work or the pool's end
        std::condition_variable m_IdleCond;     // wakes stoppers: the procedure has ended
        bool (*m_Func)(void*) = nullptr;
        void* m_Arg = nullptr;
        std::string m_ProcName = "constructor";
        std::string m_State = "constructor";
        int32_t m_FirstDelay = 0;
        int32_t m_Period = 0;
        std::atomic<bool> m_BreakPool{false};
        std::mutex m_BreakLock;
        std::condition_variable m_BreakCond;
    };

    explicit BasePoolThread(std::string name, std::chrono::milliseconds hangLimit = BaseThread::kHangLimit);
    virtual ~BasePoolThread();
    BasePoolThread(const BasePoolThread&) = delete;
    BasePoolThread& operator=(const BasePoolThread&) = delete;

    // The worker running the pair (the one already running it when the start is refused); none when
    // the procedure could not be started.
    Thread* StartProc(std::string name, bool (*func)(void*), void* arg, int firstDelayMs, int periodMs);
    // The worker busy with the pair, or none. breakIt ends the procedure's waits.
    Thread* IsStartProc(bool (*func)(void*), void* arg, std::string& name, bool breakIt);
    // Returns once the procedure has ended (at once from inside the procedure itself).
    void StopProc(bool (*func)(void*), void* arg);
    void Stop();
    void PrintProc();
    void Lock(const std::string& label);
    void Unlock();
    virtual void PutLog(const std::string& message);

    // The workers running a procedure and those waiting for one, counted at one moment.
    struct Load {
        size_t busy = 0;
        size_t idle = 0;
    };
    Load Workers();

private:
    // A recursive lock with a monotonic deadline, built on a plain mutex and condition variable:
    // std::recursive_timed_mutex waits with a locking call that the thread sanitizer cannot see.
    class RecursiveLock {
    public:
        bool TryLockUntil(std::chrono::steady_clock::time_point deadline);
        void Lock();
        void Unlock();

    private:
        std::mutex m_Mutex;
        std::condition_variable m_Free;
        std::thread::id m_Owner;
        unsigned m_Depth = 0;
    };

    std::string m_Name;
    std::list<Thread*> m_List;
    RecursiveLock m_Lock;
    std::mutex m_LockNameLock;  // m_LockName is read by a caller that could not get m_Lock
    std::string m_LockName;
    std::atomic<bool> m_IsActive{true};
    std::chrono::milliseconds m_HangLimit;

    // Records w as the runner of the pair; the caller holds the pool lock.
    void Index(Thread* w, bool (*func)(void*), void* arg);
    // Indexes that make a start or a stop cost the same however many workers exist, instead of a
    // walk of m_List with every worker's lock taken on the way. Guarded by m_IndexLock, a leaf lock
    // that a worker also takes (inside its own m_NotifyLock) when it becomes idle.
    using ProcKey = std::pair<bool (*)(void*), void*>;
    struct ProcKeyHash {
        size_t operator()(const ProcKey& k) const {
            return std::hash<void*>()(reinterpret_cast<void*>(k.first)) * 31u ^ std::hash<void*>()(k.second);
        }
    };
    struct BySeq {
        bool operator()(const Thread* a, const Thread* b) const { return a->m_Seq < b->m_Seq; }
    };
    std::mutex m_IndexLock;
    std::unordered_map<ProcKey, Thread*, ProcKeyHash> m_Running;  // busy workers by their pair
    std::set<Thread*, BySeq> m_Idle;                              // idle workers, oldest first
    uint64_t m_NextSeq = 0;
    // Owns every worker ever created; they are deleted only with the pool, so a stopper that still
    // holds a worker pointer never sees it freed.
    std::vector<std::unique_ptr<Thread>> m_Workers;
};
