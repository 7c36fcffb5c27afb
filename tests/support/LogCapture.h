#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/Log.h"

namespace tolvane::test {

// Collects every log line written while it lives, then restores the sink it replaced.
class LogCapture {
public:
    LogCapture() : previous_(Log::setSink(sink_)) {}
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    ~LogCapture() { Log::setSink(previous_); }

    std::vector<std::string> lines() const {
        const std::lock_guard lock(sink_->mutex);
        return sink_->lines;
    }

private:
    struct Sink final : Log::Sink {
        void write(Log::Category, std::string_view message) noexcept override {
            const std::lock_guard lock(mutex);
            lines.emplace_back(message);
        }
        mutable std::mutex mutex;
        std::vector<std::string> lines;
    };
    std::shared_ptr<Sink> sink_ = std::make_shared<Sink>();
    std::shared_ptr<Log::Sink> previous_;
};

}  // namespace tolvane::test
