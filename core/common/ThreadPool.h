#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tolvane {

// A fixed set of threads running tasks in the order they were submitted. Each task learns the
// index of the thread running it, so a caller can keep one costly state (a compressor) per
// thread. A task must not throw: it reports its outcome through what it captures. The destructor
// drops the tasks not yet started and joins every thread, so nothing outlives the pool.
class ThreadPool {
public:
    using Task = std::function<void(std::size_t worker)>;

    // The threads a job may use: the override when given and positive, else the machine's
    // hardware threads; never fewer than 1.
    static std::size_t threadCount(const char* overrideText) noexcept;

    explicit ThreadPool(std::size_t threads);
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    ~ThreadPool();

    std::size_t size() const noexcept { return threads_.size(); }
    void submit(Task task);

private:
    void run(std::size_t worker);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace tolvane
