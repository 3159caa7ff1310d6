// Two loops that keep both cores of the machine busy while the object
// exists, for at most two minutes: a loaded machine for tests whose results
// must not depend on the host's load.
#ifndef TEST_BUSY_CORES_H
#define TEST_BUSY_CORES_H

#include <atomic>
#include <chrono>
#include <thread>

class BusyCores {
public:
    BusyCores()
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        for (auto& t : loops_) {
            t = std::thread([this, until] {
                volatile unsigned long n = 0;
                while (!stop_.load(std::memory_order_relaxed) && std::chrono::steady_clock::now() < until) {
                    for (int i = 0; i < 100000; ++i) n = n + 1;
                }
            });
        }
    }
    BusyCores(const BusyCores&) = delete;
    BusyCores& operator=(const BusyCores&) = delete;
    ~BusyCores()
    {
        stop_ = true;
        for (auto& t : loops_) t.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread loops_[2];
};

#endif
