#pragma once
// A one-shot latch for the unit tests and the model run (which the fuzzer builds too).

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace test {

//! A one-shot latch with bounded waits: a test never hangs on it.
class Latch {
public:
    explicit Latch(int count = 1)
        : count_(count) {}
    void countDown() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ > 0 && --count_ == 0)
            cv_.notify_all();
    }
    //! True when the latch opened within the limit.
    bool wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, limit, [this] { return count_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int count_;
};

} // namespace test
