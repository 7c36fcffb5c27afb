#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tolvane {

class Progress;

// Maps the phases of one pack onto a single scale of 1,000,000 units, so that the bar never
// runs backwards and stays below full until the archive is committed. Owned by the one thread
// that runs the pack; not locked.
class ArchivePackProgress {
public:
    static constexpr std::int64_t totalUnits = 1'000'000;
    static constexpr std::int64_t packagingStart = 0;
    static constexpr std::int64_t packagingWeight = 700'000;
    static constexpr std::int64_t verifyingStart = 700'000;
    static constexpr std::int64_t verifyingWeight = 200'000;
    static constexpr std::int64_t hashingStart = 900'000;
    static constexpr std::int64_t hashingWeight = 90'000;
    // Only finish() reaches the last 10,000 units.
    static constexpr std::int64_t ceilingBeforeFinish = 990'000;

    // Starts in the packaging phase with the selection's byte total, when known.
    ArchivePackProgress(Progress* progress, std::optional<std::uint64_t> totalBytes);

    void beginVerification(std::uint64_t bytes);
    void beginHashing(std::uint64_t bytes);
    void advance(std::uint64_t bytes);
    void finish();

    Progress* progress() const noexcept { return progress_; }
    std::uint64_t completedBytes() const noexcept { return completedBytes_; }
    std::optional<std::uint64_t> totalBytes() const noexcept { return totalBytes_; }

private:
    void beginPhase(std::uint64_t bytes, std::int64_t start, std::int64_t weight,
                    std::string_view stage);
    void updateByteCounts();

    Progress* progress_;
    std::uint64_t completedBytes_ = 0;
    std::optional<std::uint64_t> totalBytes_;
    std::int64_t start_ = packagingStart;
    std::int64_t weight_ = packagingWeight;
};

}  // namespace tolvane
