#include "thread/BasePoolThread.h"

#include <exception>
#include <iostream>

namespace {
using SteadyClock = std::chrono::steady_clock;

// The worker the calling thread belongs to, if any: a procedure that stops itself must not wait for
// its own end.
thread_local BasePoolThread::Thread* tls_Worker = nullptr;

// Holds the pool lock for a scope.
class PoolLock {
public:
    PoolLock(BasePoolThread& pool, const std::string& label) : m_Pool(pool) { m_Pool.Lock(label); }
    ~PoolLock() { m_Pool.Unlock(); }
    PoolLock(const PoolLock&) = delete;
    PoolLock& operator=(const PoolLock&) = delete;

private:
    BasePoolThread& m_Pool;
};
}  // namespace

// ---- worker ----

BasePoolThread::Thread::Thread(BasePoolThread* pool, std::chrono::milliseconds hangLimit)
    : BaseThread(hangLimit), m_Pool(pool) {}

// The pool deletes a worker only after its body has ended (BaseThread::Stop has reaped it).
BasePoolThread::Thread::~Thread() = default;

std::string BasePoolThread::Thread::Name() {
    std::lock_guard<std::mutex> lock(m_NotifyLock);
    return NameLocked();
}

std::string BasePoolThread::Thread::NameLocked() {
    return m_ProcName + "(" + std::to_string(m_FirstDelay) + "," + std::to_string(m_Period) + ")" + Pid() + m_State +
           " ";
}

void BasePoolThread::Thread::PutLog(const std::string& message) { m_Pool->PutLog(message); }

void BasePoolThread::Thread::SetState(const char* state) {
    std::lock_guard<std::mutex> lock(m_NotifyLock);
    m_State = state;
}

void BasePoolThread::Thread::EndProc(std::unique_lock<std::mutex>& lock) {
    const ProcKey key(m_Func, m_Arg);
    m_Func = nullptr;
    m_Arg = nullptr;
    m_Notify = false;
    {
        std::lock_guard<std::mutex> index(m_Pool->m_IndexLock);
        auto it = m_Pool->m_Running.find(key);
        if (it != m_Pool->m_Running.end() && it->second == this) m_Pool->m_Running.erase(it);
        // After the pool's stop nobody takes workers any more; its list no longer holds this one.
        if (m_Pool->m_IsActive) m_Pool->m_Idle.insert(this);
    }
    // A stopper woken under the lock would only wake to wait for it.
    lock.unlock();
    m_IdleCond.notify_all();
}

void BasePoolThread::Thread::PoolThreadProc(void* worker) {
    auto* w = static_cast<Thread*>(worker);
    BasePoolThread* pool = w->m_Pool;
    tls_Worker = w;
    w->SetState("Thread begin");
    std::unique_lock<std::mutex> lock(w->m_NotifyLock);
    for (;;) {
        w->m_State = "Before wait exec";
        for (;;) {
            // The ticket first: a procedure handed over or a stop after this look rings after it.
            const uint32_t ticket = w->m_NotifyBell.Ticket();
            if (w->m_Notify.load() || !pool->m_IsActive.load()) break;
            lock.unlock();
            w->m_NotifyBell.Wait(ticket);
            lock.lock();
        }
        w->m_State = "After wait exec";
        if (!pool->m_IsActive) {
            // A procedure handed over as the pool stopped never runs; its stopper must not wait.
            if (w->m_Notify) w->EndProc(lock);
            return;
        }
        bool (*func)(void*) = w->m_Func;
        void* arg = w->m_Arg;
        const int32_t firstDelay = w->m_FirstDelay;
        const int32_t period = w->m_Period;
        const bool run = func != nullptr && arg != nullptr && !w->m_BreakPool;
        lock.unlock();
        if (run) w->Exec(func, arg, firstDelay, period);
        lock.lock();
        w->EndProc(lock);
        lock.lock();
    }
}

void BasePoolThread::Thread::Exec(bool (*func)(void*), void* arg, int firstDelay, int period) {
    SetState("Exec begin");
    if (WaitBeforePoolExec(firstDelay, period)) {
        for (;;) {
            auto t0 = SteadyClock::now();
            SetState("Func begin");
            bool more = false;
            try {
                more = func(arg);
            } catch (const std::exception& e) {
                // A procedure should never throw; if one does, end it rather than the daemon.
                PutLog(Name() + " - exception what():" + e.what());
            }
            SetState(more ? "Func TRUE end" : "Func FALSE end");
            if (!more || period < 1) break;
            auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - t0).count();
            if (!WaitBeforePoolExec(period - static_cast<int>(elapsed), period)) break;
        }
    }
    SetState("Exec end");
}

bool BasePoolThread::Thread::WaitBeforePoolExec(int ms, int period) {
    // A stop request ends the procedure even when no wait is left (one that always overruns).
    if (ms == 0) return !m_BreakPool;
    if (ms < 0) {
        PutLog("Duration of procedure is longer than timer interval " + Name() + " " + std::to_string(ms) + " " +
               std::to_string(period));
        return !m_BreakPool;
    }
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(m_BreakLock);
    return !m_BreakCond.wait_until(lock, deadline, [this] { return m_BreakPool.load(); });
}

// ---- pool ----

BasePoolThread::BasePoolThread(std::string name, std::chrono::milliseconds hangLimit)
    : m_Name(std::move(name)), m_HangLimit(hangLimit) {}

BasePoolThread::~BasePoolThread() { Stop(); }

void BasePoolThread::PutLog(const std::string& message) { std::cout << m_Name << " - " << message << std::endl; }

bool BasePoolThread::RecursiveLock::TryLockUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    const auto me = std::this_thread::get_id();
    if (m_Depth > 0 && m_Owner == me) {
        ++m_Depth;
        return true;
    }
    if (!m_Free.wait_until(lock, deadline, [this] { return m_Depth == 0; })) return false;
    m_Owner = me;
    m_Depth = 1;
    return true;
}

void BasePoolThread::RecursiveLock::Lock() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    const auto me = std::this_thread::get_id();
    if (m_Depth > 0 && m_Owner == me) {
        ++m_Depth;
        return;
    }
    m_Free.wait(lock, [this] { return m_Depth == 0; });
    m_Owner = me;
    m_Depth = 1;
}

void BasePoolThread::RecursiveLock::Unlock() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Depth == 0 || --m_Depth > 0) return;
        m_Owner = std::thread::id();
    }
    // Woken after the unlock, a waiter does not wake only to wait for m_Mutex; the lock lives as
    // long as the pool.
    m_Free.notify_one();
}

void BasePoolThread::Lock(const std::string& label) {
    if (!m_Lock.TryLockUntil(SteadyClock::now() + m_HangLimit)) {
        std::string message = label;
        {
            std::lock_guard<std::mutex> names(m_LockNameLock);
            if (!m_LockName.empty()) message += " act:" + m_LockName;
        }
        message += " - lock during " +
                   std::to_string(std::chrono::duration_cast<std::chrono::seconds>(m_HangLimit).count()) + " sec";
        PutLog(message);
        // Going on without the lock would make two holders: wait as long as it takes.
        m_Lock.Lock();
    }
    std::lock_guard<std::mutex> names(m_LockNameLock);
    m_LockName = label;
}

void BasePoolThread::Unlock() { m_Lock.Unlock(); }

BasePoolThread::Load BasePoolThread::Workers() {
    // Both under the pool lock: no worker is created or handed a procedure meanwhile, and every
    // idle worker is one of m_List.
    PoolLock lock(*this, "BasePoolThread::Workers");
    std::lock_guard<std::mutex> index(m_IndexLock);
    return {m_List.size() - m_Idle.size(), m_Idle.size()};
}

BasePoolThread::Thread* BasePoolThread::StartProc(std::string name, bool (*func)(void*), void* arg, int firstDelayMs,
                                                  int periodMs) {
    Thread* idle = nullptr;
    {
        PoolLock poolLock(*this, "BasePoolThread::StartProc " + name);
        if (!m_IsActive) {
            // A worker started now would end at once and leave the procedure marked busy for good.
            PutLog(name + " NOT added to pool " + m_Name + " because the pool is stopped");
            return nullptr;
        }
        // Checked under the pool lock, so two callers cannot both start the same pair.
        std::string busyName;
        if (Thread* running = IsStartProc(func, arg, busyName, false)) {
            PutLog(name + " NOT added to pool " + m_Name + " because there is already a thread " + busyName);
            return running;
        }
        auto assign = [&](Thread* w) {
            w->m_ProcName = name;
            w->m_State = "SetParamExec(" + name;
            w->m_Func = func;
            w->m_Arg = arg;
            w->m_FirstDelay = firstDelayMs;
            w->m_Period = periodMs;
            w->m_BreakPool = false;
            w->m_Notify = true;
        };
        {
            std::lock_guard<std::mutex> index(m_IndexLock);
            if (!m_Idle.empty()) {
                idle = *m_Idle.begin();
                m_Idle.erase(m_Idle.begin());
            }
        }
        if (idle == nullptr) {
            auto worker = std::make_unique<Thread>(this, m_HangLimit);
            worker->m_Seq = m_NextSeq++;
            assign(worker.get());
            // Indexed before it starts: a procedure that ends at once finds its entry to remove.
            Index(worker.get(), func, arg);
            if (!worker->Start(&Thread::PoolThreadProc, worker.get())) {
                std::lock_guard<std::mutex> index(m_IndexLock);
                m_Running.erase(ProcKey(func, arg));
                return nullptr;  // logged by Start; the worker never existed for anyone else
            }
            m_List.push_back(worker.get());
            m_Workers.push_back(std::move(worker));
            return m_List.back();
        }
        // Only a worker that has cleared its procedure joins m_Idle, and only this (pool-locked)
        // function takes it out again: it is idle.
        std::lock_guard<std::mutex> lock(idle->m_NotifyLock);
        assign(idle);
        Index(idle, func, arg);
    }
    // Woken after both unlocks: the worker does not wake only to wait for its lock, and when it runs
    // at once in this thread's place, no other start or stop waits for the pool lock meanwhile.
    // Workers are deleted only with the pool.
    idle->m_NotifyBell.Ring();
    return idle;
}

void BasePoolThread::Index(Thread* w, bool (*func)(void*), void* arg) {
    std::lock_guard<std::mutex> index(m_IndexLock);
    m_Running[ProcKey(func, arg)] = w;
}

BasePoolThread::Thread* BasePoolThread::IsStartProc(bool (*func)(void*), void* arg, std::string& name, bool breakIt) {
    name.clear();
    PoolLock poolLock(*this, "BasePoolThread::IsStartProc");
    Thread* w = nullptr;
    {
        std::lock_guard<std::mutex> index(m_IndexLock);
        auto it = m_Running.find(ProcKey(func, arg));
        if (it == m_Running.end()) return nullptr;
        w = it->second;
    }
    std::unique_lock<std::mutex> lock(w->m_NotifyLock);
    // The worker may have ended the procedure since the lookup; it cannot take another one while
    // the pool lock is held.
    if (!w->m_Notify || w->m_Func != func || w->m_Arg != arg) return nullptr;
    name = w->NameLocked();
    lock.unlock();
    if (breakIt) {
        std::lock_guard<std::mutex> breakLock(w->m_BreakLock);
        w->m_BreakPool = true;
        w->m_BreakCond.notify_all();
    }
    return w;
}

void BasePoolThread::StopProc(bool (*func)(void*), void* arg) {
    const auto deadline = SteadyClock::now() + m_HangLimit;
    std::string name;
    Thread* w = IsStartProc(func, arg, name, true);
    if (w == nullptr) return;
    // From inside the procedure itself: its waits are broken, it ends when it returns.
    if (w == tls_Worker) return;
    auto ended = [&] { return !(w->m_Notify.load() && w->m_Func == func && w->m_Arg == arg); };
    std::unique_lock<std::mutex> lock(w->m_NotifyLock);
    if (!w->m_IdleCond.wait_until(lock, deadline, ended)) {
        lock.unlock();
        PutLog(w->Name() + " - thread not complete");
        PrintProc();
        lock.lock();
        // The caller goes on to free what the procedure works on: wait as long as it takes.
        w->m_IdleCond.wait(lock, ended);
    }
}

void BasePoolThread::Stop() {
    std::list<Thread*> workers;
    {
        PoolLock poolLock(*this, "BasePoolThread::Stop");
        m_IsActive = false;
        workers.swap(m_List);
        std::lock_guard<std::mutex> index(m_IndexLock);
        m_Idle.clear();
    }
    // Without the pool lock: a procedure still running may need it to start or stop others.
    for (Thread* w : workers) {
        w->m_NotifyBell.Ring();  // after m_IsActive went false: the worker sees it
        {
            std::lock_guard<std::mutex> lock(w->m_BreakLock);
            w->m_BreakPool = true;
            w->m_BreakCond.notify_all();
        }
        w->Stop();
    }
}

void BasePoolThread::PrintProc() {
    PoolLock poolLock(*this, "BasePoolThread::PrintProc");
    for (Thread* w : m_List)
        PutLog(w->Name() + (w->m_Notify ? "1" : "0") + (w->m_BreakPool ? " 1" : " 0"));
}
