#include "core/archive/ArchivePackProgress.h"

#include <algorithm>
#include <limits>
#include <string>

#include "core/archive/ArchiveProgressInfo.h"
#include "core/common/Progress.h"

namespace tolvane {

ArchivePackProgress::ArchivePackProgress(Progress* progress,
                                         std::optional<std::uint64_t> totalBytes)
    : progress_(progress), totalBytes_(totalBytes) {}

void ArchivePackProgress::beginVerification(std::uint64_t bytes) {
    beginPhase(bytes, verifyingStart, verifyingWeight, ArchiveProgressInfo::Stage::verifying);
}

void ArchivePackProgress::beginHashing(std::uint64_t bytes) {
    beginPhase(bytes, hashingStart, hashingWeight, ArchiveProgressInfo::Stage::hashing);
}

void ArchivePackProgress::beginPhase(std::uint64_t bytes, std::int64_t start, std::int64_t weight,
                                     std::string_view stage) {
    completedBytes_ = 0;
    totalBytes_ = bytes;
    start_ = start;
    weight_ = weight;
    if (progress_ != nullptr) {
        progress_->setUserInfo(ArchiveProgressInfo::stageKey, std::string(stage));
        progress_->setTotalUnitCount(totalUnits);
        // Each phase starts where the one before it ends at the latest, so in pack's order
        // this never lowers the count.
        progress_->setCompletedUnitCount(start);
    }
    updateByteCounts();
}

void ArchivePackProgress::advance(std::uint64_t bytes) {
    const std::uint64_t room = std::numeric_limits<std::uint64_t>::max() - completedBytes_;
    completedBytes_ += std::min(bytes, room);
    updateByteCounts();
    if (!totalBytes_) {
        return;
    }
    const double fraction =
        *totalBytes_ == 0
            ? 1.0
            : std::min(static_cast<double>(completedBytes_) / static_cast<double>(*totalBytes_),
                       1.0);
    const auto units = start_ + static_cast<std::int64_t>(fraction * static_cast<double>(weight_));
    if (progress_ != nullptr) {
        const std::int64_t current = progress_->completedUnitCount();
        progress_->setCompletedUnitCount(std::max(std::min(units, ceilingBeforeFinish), current));
    }
}

void ArchivePackProgress::finish() {
    if (progress_ == nullptr) {
        return;
    }
    progress_->setUserInfo(ArchiveProgressInfo::stageKey,
                           std::string(ArchiveProgressInfo::Stage::complete));
    progress_->setTotalUnitCount(totalUnits);
    progress_->setCompletedUnitCount(totalUnits);
}

void ArchivePackProgress::updateByteCounts() {
    if (progress_ == nullptr) {
        return;
    }
    progress_->setUserInfo(ArchiveProgressInfo::stageCompletedBytesKey, completedBytes_);
    if (totalBytes_) {
        progress_->setUserInfo(ArchiveProgressInfo::stageTotalBytesKey, *totalBytes_);
    }
}

}  // namespace tolvane
