// A reusable thread barrier for tests (std::barrier needs C++20).
#pragma once

#include <condition_variable>
#include <mutex>

class TestBarrier {
public:
    explicit TestBarrier(int parties) : parties_(parties) {}

    void arrive_and_wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        const unsigned long generation = generation_;
        if (++waiting_ == parties_) {
            waiting_ = 0;
            ++generation_;
            released_.notify_all();
            return;
        }
        released_.wait(lock, [&] { return generation != generation_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable released_;
    const int parties_;
    int waiting_ = 0;
    unsigned long generation_ = 0;
};
