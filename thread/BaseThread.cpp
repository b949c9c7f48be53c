#include "thread/BaseThread.h"

#include <signal.h>
#include <unistd.h>

#include <system_error>

std::atomic<int> BaseThread::s_FailCreate{0};

BaseThread::BaseThread(std::chrono::milliseconds hangLimit) : m_HangLimit(hangLimit) {}

BaseThread::~BaseThread() {
    if (m_Attached) pthread_join(m_Thread, nullptr);
}

std::string BaseThread::Pid() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Pid;
}

bool BaseThread::Start(void (*func)(void*), void* arg) {
    m_Func = func;
    m_Arg = arg;
    // Running from here on, so that a Stop right after Start waits for the function instead of
    // returning before it was even called.
    m_Running = true;

    int rc = 0;
    if (s_FailCreate.load() > 0 && s_FailCreate.fetch_sub(1) > 0) {
        rc = EAGAIN;
    } else {
        pthread_attr_t attr;
        rc = pthread_attr_init(&attr);
        if (rc == 0) {
            rc = pthread_attr_setstacksize(&attr, kStackSize);
            // The new thread inherits the mask: SIGINT, SIGTERM and SIGHUP run their handler on a
            // thread outside the pool (the main thread or a log writer), never on a relay. SIGUSR1
            // is not blocked and may interrupt a relay's blocking call; the socket calls of
            // util/Net.cpp retry after an interruption.
            sigset_t block, old;
            sigemptyset(&block);
            sigaddset(&block, SIGINT);
            sigaddset(&block, SIGTERM);
            sigaddset(&block, SIGHUP);
            pthread_sigmask(SIG_BLOCK, &block, &old);
            if (rc == 0) rc = pthread_create(&m_Thread, &attr, &BaseThread::Body, this);
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
            pthread_attr_destroy(&attr);
        }
    }
    if (rc != 0) {
        m_Running = false;
        std::system_error error(rc, std::generic_category());
        PutLog("std::system_error " + Name() + " what():" + error.what());
        return false;
    }
    m_Attached = true;
    return true;
}

void* BaseThread::Body(void* self) {
    auto* thread = static_cast<BaseThread*>(self);
    {
        std::lock_guard<std::mutex> lock(thread->m_Lock);
        thread->m_Pid = " PID: " + std::to_string(gettid()) + " ";
    }
    thread->m_Func(thread->m_Arg);
    // Under the lock, so that a stopper waiting on the condition cannot miss the end.
    std::lock_guard<std::mutex> lock(thread->m_Lock);
    thread->m_Running = false;
    thread->m_Cond.notify_all();
    return nullptr;
}

void BaseThread::Stop() {
    if (!m_Attached) return;
    {
        std::unique_lock<std::mutex> lock(m_Lock);
        auto ended = [this] { return !m_Running; };
        if (!m_Cond.wait_for(lock, m_HangLimit, ended)) {
            lock.unlock();
            PutLog(Name() + " - thread not complete");
            lock.lock();
            // The caller is about to free what the function works on: wait as long as it takes.
            m_Cond.wait(lock, ended);
        }
    }
    // The thread has left every field of this object; only its last instructions remain.
    pthread_join(m_Thread, nullptr);
    m_Attached = false;
}
