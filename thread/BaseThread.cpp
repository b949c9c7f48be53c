#include "thread/BaseThread.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <system_error>

std::atomic<bool> BaseThread::s_IsAllLog{false};
std::atomic<int> BaseThread::s_FailCreate{0};

namespace {
using SteadyClock = std::chrono::steady_clock;

int ElapsedMs(SteadyClock::time_point t0) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - t0).count());
}
}  // namespace

BaseThread::BaseThread(std::chrono::milliseconds hangLimit) : m_HangLimit(hangLimit) {}

BaseThread::Borders::~Borders() {
    // Under the lock, so that a stopper waiting on the condition cannot miss the end.
    std::lock_guard<std::mutex> lock(m_Owner->m_Lock);
    m_Owner->m_IsExec = false;
    m_Owner->m_IsRun = false;
    m_Owner->m_Cond.notify_all();
}

BaseThread::~BaseThread() {
    if (!m_Attached) return;
    if (!m_IsRun) {
        WaitEnded();
        return;
    }
    // The thread still works on this object: it must end before the object goes.
    if (m_IsExec) {
        PutLog(Name() + " - BaseThread::~BaseThread: forced disconnection !!!");
        Stop();
    } else {
        PutLog(Name() + " - BaseThread::~BaseThread: forced stop beginning");
        Stop();
        PutLog(Name() + " - BaseThread::~BaseThread: forced stop ending");
    }
}

void BaseThread::PrintListProc() {}

std::string BaseThread::Pid() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Pid;
}

std::string BaseThread::Name() {
    return m_Name + "(" + std::to_string(m_FirstDelay) + "," + std::to_string(m_Period) + ")" + Pid();
}

void BaseThread::PutLog(const std::string& message) {
    std::cout << Name() << " - " << message << std::endl;
}

bool BaseThread::Start(std::string name, bool (*func)(void*), void* arg, int firstDelayMs, int periodMs,
                       bool isLog) {
    if (m_Attached) {
        if (!m_IsRun) {
            WaitEnded();
        } else if (!m_IsExec) {
            PutLog(Name() + " - BaseThread::Start: forced stop beginning");
            Stop();
            PutLog(Name() + " - BaseThread::Start: forced stop ending");
        } else {
            // The previous thread is inside the function and still uses this object's fields:
            // take the object over only once it has returned.
            PutLog(Name() + " - BaseThread::Start: forced disconnection !!!");
            Stop();
        }
    }
    m_Name = std::move(name);
    m_Func = func;
    m_Arg = arg;
    m_FirstDelay = firstDelayMs;
    m_Period = periodMs;
    m_IsLog = isLog;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Break = false;
        m_Pid.clear();
    }
    if (IsLogOn()) PutLog("Init  " + Name() + " launching PID: " + std::to_string(gettid()));

    // Running from here on, so that a Stop right after Start waits for the body instead of
    // returning before the function was even called.
    m_IsRun = true;
    m_IsExec = false;

    int rc = 0;
    if (s_FailCreate.load() > 0 && s_FailCreate.fetch_sub(1) > 0) {
        rc = EAGAIN;
    } else {
        pthread_attr_t attr;
        rc = pthread_attr_init(&attr);
        if (rc == 0) {
            rc = pthread_attr_setstacksize(&attr, kStackSize);
            // The new thread inherits the mask: the daemon's signals always land on the main thread
            // and never interrupt a relay's blocking call.
            sigset_t block, old;
            sigemptyset(&block);
            sigaddset(&block, SIGINT);
            sigaddset(&block, SIGTERM);
            sigaddset(&block, SIGHUP);
            pthread_sigmask(SIG_BLOCK, &block, &old);
            if (rc == 0) rc = pthread_create(&m_Thread, &attr, &BaseThread::Trampoline, this);
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
            pthread_attr_destroy(&attr);
        }
    }
    if (rc != 0) {
        m_IsRun = false;
        std::system_error error(rc, std::generic_category());
        PutLog("std::system_error " + Name() + " what():" + error.what());
        return false;
    }
    m_Attached = true;
    return true;
}

void* BaseThread::Trampoline(void* self) {
    Proc(static_cast<BaseThread*>(self));
    return nullptr;
}

void BaseThread::Proc(BaseThread* thread) {
    Borders borders(thread);
    thread->m_IsRun = true;
    thread->m_IsExec = false;
    {
        std::lock_guard<std::mutex> lock(thread->m_Lock);
        thread->m_Pid = " PID: " + std::to_string(gettid()) + " ";
    }
    const std::string name = thread->Name();
    const bool log = thread->IsLogOn();
    if (log) thread->PutLog("Start " + name);

    if (thread->WaitBeforeExec(thread->m_FirstDelay)) {
        if (thread->m_Period < 1) {
            if (log) thread->PutLog("Exec " + name);
            thread->m_IsExec = true;
            bool more = thread->m_Func(thread->m_Arg);
            thread->m_IsExec = false;
            if (!more && log) thread->PutLog("Avto break " + name);
        } else {
            for (;;) {
                auto t0 = SteadyClock::now();
                if (log) thread->PutLog("Exec " + name);
                thread->m_IsExec = true;
                bool more = thread->m_Func(thread->m_Arg);
                thread->m_IsExec = false;
                if (!more) {
                    if (log) thread->PutLog("Avto break " + name);
                    break;
                }
                if (!thread->WaitBeforeExec(thread->m_Period - ElapsedMs(t0))) break;
            }
        }
    }
    if (log) thread->PutLog("End " + name);
}

bool BaseThread::WaitBeforeExec(int ms) {
    // No wait left, yet a stop request must still end the thread here: a procedure that always
    // overruns its period could never be stopped otherwise.
    if (ms == 0) return !m_Break;
    if (ms < 0) {
        PutLog("Duration of procedure is longer than timer interval " + Name() + " " + std::to_string(ms) + " " +
               std::to_string(m_Period));
        if (IsLogOn()) PrintListProc();
        return !m_Break;
    }
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(m_Lock);
    bool broken = m_Cond.wait_until(lock, deadline, [this] { return m_Break.load(); });
    return !broken;
}

void BaseThread::Stop() {
    if (!m_Attached) return;
    if (IsLogOn()) {
        std::string name = Name();
        if (!name.empty()) PutLog("Stop " + name);
    }
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Break = true;
        m_Cond.notify_all();
    }
    WaitEnded();
}

void BaseThread::WaitEnded() {
    {
        std::unique_lock<std::mutex> lock(m_Lock);
        auto ended = [this] { return !m_IsRun.load(); };
        if (!m_Cond.wait_until(lock, SteadyClock::now() + m_HangLimit, ended)) {
            lock.unlock();
            PutLog(Name() + " - thread not complete");
            lock.lock();
            // The caller is about to free what the function works on: wait as long as it takes.
            m_Cond.wait(lock, ended);
        }
    }
    // The body has left every field of this object; only its last instructions remain.
    pthread_join(m_Thread, nullptr);
    m_Attached = false;
}
