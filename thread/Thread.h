#pragma once
// The handle through which a port or connection runs one procedure in the daemon's thread pool.
// A procedure is bool procedure(void* owner): true runs it again after the period, false ends it.
#include <string>

#include "thread/BasePoolThread.h"

class Thread {
public:
    // Runs in the daemon's pool.
    Thread(std::string name, bool (*func)(void*), void* arg);
    Thread(BasePoolThread& pool, std::string name, bool (*func)(void*), void* arg);
    // Stops the procedure, so that it never outlives the owner that holds this handle.
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // periodMs < 1 calls the procedure once (after firstDelayMs); otherwise every periodMs from call
    // start to call start while it returns true. A pair already running is not started again.
    // False when no worker could take it (the pool has logged why).
    bool Start(int firstDelayMs, int periodMs);
    // Ends the procedure's waits and returns once it has ended. The procedure's own blocking calls
    // are not interrupted: close its sockets first.
    void Stop();

private:
    BasePoolThread* m_Pool;
    std::string m_Name;
    bool (*m_Func)(void*);
    void* m_Arg;
    BasePoolThread::Thread* m_Handle = nullptr;
};
