#include "thread/Thread.h"

#include "daemon/VEXAProxy.h"

Thread::Thread(std::string name, bool (*func)(void*), void* arg)
    : Thread(_Modul.m_PoolThread, std::move(name), func, arg) {}

Thread::Thread(BasePoolThread& pool, std::string name, bool (*func)(void*), void* arg)
    : m_Pool(&pool), m_Name(std::move(name)), m_Func(func), m_Arg(arg) {}

Thread::~Thread() { Stop(); }

bool Thread::Start(int firstDelayMs, int periodMs) {
    m_Handle = m_Pool->StartProc(m_Name, m_Func, m_Arg, firstDelayMs, periodMs);
    return m_Handle != nullptr;
}

void Thread::Stop() {
    // A handle that never started anything has nothing to stop; this also keeps the handles of
    // objects destroyed after the daemon's pool (they are declared before it) away from the pool.
    if (m_Handle == nullptr) return;
    m_Pool->StopProc(m_Func, m_Arg);
    m_Handle = nullptr;
}
