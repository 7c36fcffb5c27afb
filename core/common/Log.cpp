#include "core/common/Log.h"

#include <syslog.h>

#include <mutex>
#include <string>
#include <utility>

namespace tolvane {

namespace {

class SyslogSink final : public Log::Sink {
public:
    void write(Log::Category category, std::string_view message) noexcept override {
        std::call_once(opened_,
                       [] { ::openlog(Log::applicationIdentifier.data(), LOG_PID, LOG_USER); });
        const std::string_view name = Log::categoryName(category);
        ::syslog(LOG_ERR, "[%.*s] %.*s", static_cast<int>(name.size()), name.data(),
                 static_cast<int>(message.size()), message.data());
    }

private:
    std::once_flag opened_;
};

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<Log::Sink>& currentSink() {
    static std::shared_ptr<Log::Sink> sink = std::make_shared<SyslogSink>();
    return sink;
}

}  // namespace

std::string_view Log::categoryName(Category category) noexcept {
    switch (category) {
        case Category::sourceChange:
            return "SourceChange";
        case Category::googleAuth:
            return "GoogleAuth";
    }
    return "Unknown";
}

void Log::error(Category category, std::string_view message) noexcept {
    std::shared_ptr<Sink> sink;
    try {
        std::lock_guard lock(sinkMutex());
        sink = currentSink();
    } catch (...) {
        return;
    }
    if (sink) {
        sink->write(category, message);
    }
}

std::shared_ptr<Log::Sink> Log::setSink(std::shared_ptr<Sink> sink) {
    std::lock_guard lock(sinkMutex());
    if (!sink) {
        sink = std::make_shared<SyslogSink>();
    }
    return std::exchange(currentSink(), std::move(sink));
}

}  // namespace tolvane
