#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tolvane {

// A thread-safe progress object shared by a worker and the user interface: a total and a
// completed unit count, a cancellation flag and a map of user-info values. The worker writes
// it; the interface polls it. Every value is replaced whole.
class Progress {
public:
    using Value = std::variant<std::string, std::uint64_t>;

    struct Snapshot {
        std::int64_t totalUnitCount = 0;
        std::int64_t completedUnitCount = 0;
        bool cancelled = false;
        std::map<std::string, Value, std::less<>> userInfo;

        double fractionCompleted() const noexcept;
        std::optional<std::string> text(std::string_view key) const;
        std::optional<std::uint64_t> number(std::string_view key) const;
    };

    Progress() = default;
    explicit Progress(std::int64_t totalUnitCount) : total_(totalUnitCount) {}
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void setTotalUnitCount(std::int64_t count);
    std::int64_t totalUnitCount() const;
    void setCompletedUnitCount(std::int64_t count);
    std::int64_t completedUnitCount() const;
    // completed / total clamped to [0, 1]; 0 when the total is not positive.
    double fractionCompleted() const;

    // Cancellation is one-way.
    void cancel() noexcept { cancelled_.store(true, std::memory_order_release); }
    bool isCancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }

    void setUserInfo(std::string_view key, Value value);
    void removeUserInfo(std::string_view key);
    std::optional<Value> userInfo(std::string_view key) const;
    std::optional<std::string> userInfoText(std::string_view key) const;
    std::optional<std::uint64_t> userInfoNumber(std::string_view key) const;

    // Everything at once, consistent with itself, for one poll of the interface.
    Snapshot snapshot() const;

private:
    mutable std::mutex mutex_;
    std::int64_t total_ = 0;
    std::int64_t completed_ = 0;
    std::map<std::string, Value, std::less<>> userInfo_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace tolvane
