#include "core/common/Progress.h"

#include <algorithm>

namespace tolvane {

namespace {
double fraction(std::int64_t completed, std::int64_t total) {
    if (total <= 0) {
        return 0.0;
    }
    return std::clamp(static_cast<double>(completed) / static_cast<double>(total), 0.0, 1.0);
}
}  // namespace

double Progress::Snapshot::fractionCompleted() const noexcept {
    return fraction(completedUnitCount, totalUnitCount);
}

std::optional<std::string> Progress::Snapshot::text(std::string_view key) const {
    const auto it = userInfo.find(key);
    if (it == userInfo.end() || !std::holds_alternative<std::string>(it->second)) {
        return std::nullopt;
    }
    return std::get<std::string>(it->second);
}

std::optional<std::uint64_t> Progress::Snapshot::number(std::string_view key) const {
    const auto it = userInfo.find(key);
    if (it == userInfo.end() || !std::holds_alternative<std::uint64_t>(it->second)) {
        return std::nullopt;
    }
    return std::get<std::uint64_t>(it->second);
}

void Progress::setTotalUnitCount(std::int64_t count) {
    std::lock_guard lock(mutex_);
    total_ = count;
}

std::int64_t Progress::totalUnitCount() const {
    std::lock_guard lock(mutex_);
    return total_;
}

void Progress::setCompletedUnitCount(std::int64_t count) {
    std::lock_guard lock(mutex_);
    completed_ = count;
}

std::int64_t Progress::completedUnitCount() const {
    std::lock_guard lock(mutex_);
    return completed_;
}

double Progress::fractionCompleted() const {
    std::lock_guard lock(mutex_);
    return fraction(completed_, total_);
}

void Progress::setUserInfo(std::string_view key, Value value) {
    std::lock_guard lock(mutex_);
    const auto it = userInfo_.find(key);
    if (it != userInfo_.end()) {
        it->second = std::move(value);
    } else {
        userInfo_.emplace(std::string(key), std::move(value));
    }
}

void Progress::removeUserInfo(std::string_view key) {
    std::lock_guard lock(mutex_);
    const auto it = userInfo_.find(key);
    if (it != userInfo_.end()) {
        userInfo_.erase(it);
    }
}

std::optional<Progress::Value> Progress::userInfo(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const auto it = userInfo_.find(key);
    if (it == userInfo_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<std::string> Progress::userInfoText(std::string_view key) const {
    const auto value = userInfo(key);
    if (!value || !std::holds_alternative<std::string>(*value)) {
        return std::nullopt;
    }
    return std::get<std::string>(*value);
}

std::optional<std::uint64_t> Progress::userInfoNumber(std::string_view key) const {
    const auto value = userInfo(key);
    if (!value || !std::holds_alternative<std::uint64_t>(*value)) {
        return std::nullopt;
    }
    return std::get<std::uint64_t>(*value);
}

Progress::Snapshot Progress::snapshot() const {
    Snapshot result;
    std::lock_guard lock(mutex_);
    result.totalUnitCount = total_;
    result.completedUnitCount = completed_;
    result.userInfo = userInfo_;
    result.cancelled = isCancelled();
    return result;
}

}  // namespace tolvane
