#include "core/common/ThreadPool.h"

#include <charconv>
#include <cstring>
#include <utility>

namespace tolvane {

std::size_t ThreadPool::threadCount(const char* overrideText) noexcept {
    if (overrideText != nullptr) {
        std::size_t value = 0;
        const char* end = overrideText + std::strlen(overrideText);
        const auto [rest, error] = std::from_chars(overrideText, end, value);
        if (error == std::errc() && rest == end && value > 0) {
            return value;
        }
    }
    const unsigned machine = std::thread::hardware_concurrency();
    return machine > 0 ? machine : 1;
}

ThreadPool::ThreadPool(std::size_t threads) {
    threads_.reserve(threads);
    try {
        for (std::size_t index = 0; index < threads; ++index) {
            threads_.emplace_back([this, index] { run(index); });
        }
    } catch (...) {
        // Threads already started must be joined before the vector holding them goes.
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) {
            thread.join();
        }
        throw;
    }
}

ThreadPool::~ThreadPool() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        tasks_.clear();
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

void ThreadPool::submit(Task task) {
    {
        const std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void ThreadPool::run(std::size_t worker) {
    for (;;) {
        Task task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (stopping_) {
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task(worker);
    }
}

}  // namespace tolvane
