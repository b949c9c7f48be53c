#include "thread/Thread.h"

#include <chrono>

Thread::Thread(std::string name, bool (*func)(void*), void* arg)
    : m_Name(std::move(name)), m_Func(func), m_Arg(arg) {}

Thread::~Thread() { Stop(); }

bool Thread::Wait(int ms) {
    std::unique_lock<std::mutex> l(m_Lock);
    return !m_Cond.wait_for(l, std::chrono::milliseconds(ms), [this] { return m_Break; });
}

void Thread::Start(int firstDelayMs, int periodMs) {
    if (m_Handle.joinable()) return;
    {
        std::lock_guard<std::mutex> l(m_Lock);
        m_Break = false;
    }
    m_Handle = std::thread([this, firstDelayMs, periodMs] {
        if (firstDelayMs > 0 && !Wait(firstDelayMs)) return;
        for (;;) {
            if (!m_Func(m_Arg) || periodMs < 1) return;
            if (!Wait(periodMs)) return;
        }
    });
}

void Thread::Stop() {
    {
        std::lock_guard<std::mutex> l(m_Lock);
        m_Break = true;
    }
    m_Cond.notify_all();
    if (m_Handle.joinable() && m_Handle.get_id() != std::this_thread::get_id()) m_Handle.join();
}
