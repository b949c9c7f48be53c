#pragma once
// The daemon's thread pool: its messages go to the main log.
#include <chrono>
#include <string>

#include "thread/BasePoolThread.h"

class PoolThread : public BasePoolThread {
public:
    explicit PoolThread(std::string name, std::chrono::milliseconds hangLimit = BaseThread::kHangLimit)
        : BasePoolThread(std::move(name), hangLimit) {}
    // Stops here, while the messages of the stop can still reach the main log.
    ~PoolThread() override { Stop(); }

    void PutLog(const std::string& message) override;
};
