#include "Tolvane/ui/WorkFacts.h"

#include <algorithm>
#include <limits>

#include "core/common/ByteCount.h"

namespace tolvane {

WorkFacts WorkFacts::of(const DeliveryJobModel& model, bool hasActiveTransfer) {
    WorkFacts facts;
    facts.phase = model.phase();
    facts.isBusy = model.isBusy();
    facts.canCancel = model.canCancel();
    facts.canRefreshInputs = model.canRefreshInputs();
    facts.inputMode = model.inputMode().kind;
    facts.hasInputs = !model.inputURLs().empty();
    facts.isCapturingInputSnapshot = model.isCapturingInputSnapshot();
    facts.inputSnapshotError = model.inputSnapshotError();
    facts.hasInputSnapshot = model.inputSnapshot().has_value();
    facts.progressStage = model.progressStage();
    facts.progressFraction = model.progressFraction();
    facts.progressTotalUnitCount = model.progressTotalUnitCount();
    facts.progressCompletedBytes = model.progressCompletedBytes();
    facts.progressTotalBytes = model.progressTotalBytes();
    facts.scannedEntryCount = model.scannedEntryCount();
    facts.errorMessage = model.errorMessage();
    facts.cleanupWarning = model.cleanupWarning();
    facts.hasActiveTransfer = hasActiveTransfer;
    return facts;
}

QString byteCountText(std::uint64_t bytes) {
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return QString::fromStdString(
        formatByteCount(static_cast<std::int64_t>(std::min(bytes, largest))));
}

}  // namespace tolvane
