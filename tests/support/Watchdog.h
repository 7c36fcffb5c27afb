#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace tolvane::test {

// Ends the test program when a test that waits for something to end hangs instead; it measures
// nothing, and a passing test never comes near its limit.
class Watchdog {
public:
    explicit Watchdog(std::string what, std::chrono::seconds limit = std::chrono::seconds(30))
        : thread_([this, what = std::move(what), limit] {
              std::unique_lock lock(mutex_);
              if (!disarmed_.wait_for(lock, limit, [&] { return done_; })) {
                  std::fprintf(stderr, "watchdog: hung: %s\n", what.c_str());
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            const std::lock_guard lock(mutex_);
            done_ = true;
        }
        disarmed_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable disarmed_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace tolvane::test
