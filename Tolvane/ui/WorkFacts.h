#pragma once

#include <QString>

#include <cstdint>
#include <optional>

#include "Tolvane/model/DeliveryJobModel.h"

namespace tolvane {

// What the work status and the footer read of the job model and the Drive side, copied into one
// value so that their rules are pure functions a table can test.
struct WorkFacts {
    using Phase = DeliveryJobModel::Phase;
    using ModeKind = DeliveryJobModel::InputMode::Kind;

    Phase phase = Phase::idle;
    bool isBusy = false;
    bool canCancel = false;
    bool canRefreshInputs = false;
    ModeKind inputMode = ModeKind::empty;
    bool hasInputs = false;
    bool isCapturingInputSnapshot = false;
    std::optional<QString> inputSnapshotError;
    bool hasInputSnapshot = false;
    std::optional<QString> progressStage;
    double progressFraction = 0;
    std::int64_t progressTotalUnitCount = 1;
    std::uint64_t progressCompletedBytes = 0;
    std::uint64_t progressTotalBytes = 0;
    std::uint64_t scannedEntryCount = 0;
    std::optional<QString> errorMessage;
    std::optional<QString> cleanupWarning;
    bool hasActiveTransfer = false;

    static WorkFacts of(const DeliveryJobModel& model, bool hasActiveTransfer);

    bool isRunning() const noexcept { return phase == Phase::packing || phase == Phase::unpacking; }
};

// A byte count as the screens show it; counts beyond the signed 64-bit range show that range's
// largest value.
QString byteCountText(std::uint64_t bytes);

}  // namespace tolvane
