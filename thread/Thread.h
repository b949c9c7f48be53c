#pragma once
// Stand-in for the pool's Thread handle until the thread branch lands: same interface, one
// std::thread per start. Replaced by the real handle on merge.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class Thread {
public:
    Thread(std::string name, bool (*func)(void*), void* arg);
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    void Start(int firstDelayMs, int periodMs);
    void Stop();

private:
    bool Wait(int ms);
    std::string m_Name;
    bool (*m_Func)(void*);
    void* m_Arg;
    std::thread m_Handle;
    std::mutex m_Lock;
    std::condition_variable m_Cond;
    bool m_Break = false;
};
