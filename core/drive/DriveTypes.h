#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/common/Uuid.h"

namespace tolvane {

// The role of the "anyone" link permission a share creates.
enum class DriveLinkRole { reader, writer };

inline constexpr std::array<DriveLinkRole, 2> allDriveLinkRoles = {DriveLinkRole::reader,
                                                                   DriveLinkRole::writer};

// The text form used in the journal and in Drive permission requests.
constexpr std::string_view rawValue(DriveLinkRole role) noexcept {
    return role == DriveLinkRole::writer ? "writer" : "reader";
}

// Exact, case-sensitive match: "Reader" or "owner" give no value.
constexpr std::optional<DriveLinkRole> driveLinkRole(std::string_view text) noexcept {
    for (const DriveLinkRole role : allDriveLinkRoles) {
        if (rawValue(role) == text) {
            return role;
        }
    }
    return std::nullopt;
}

// The outcome of a successful share, resume or link check.
struct DriveShareResult {
    std::string fileID;
    std::string link;    // https web link on the Drive web host
    std::string sha256;  // lowercase hex of the archive
    DriveLinkRole role = DriveLinkRole::reader;

    friend bool operator==(const DriveShareResult&, const DriveShareResult&) = default;
};

// One progress report of a Drive transfer.
struct DriveTransferProgress {
    enum class Stage { hashing, uploading, retrying, verifying, publishing };

    Stage stage = Stage::hashing;
    std::int64_t acknowledgedBytes = 0;  // confirmed by Drive so far
    std::int64_t totalBytes = 0;

    friend bool operator==(const DriveTransferProgress&, const DriveTransferProgress&) = default;
};

constexpr std::string_view rawValue(DriveTransferProgress::Stage stage) noexcept {
    using Stage = DriveTransferProgress::Stage;
    switch (stage) {
        case Stage::hashing:
            return "hashing";
        case Stage::uploading:
            return "uploading";
        case Stage::retrying:
            return "retrying";
        case Stage::verifying:
            return "verifying";
        case Stage::publishing:
            return "publishing";
    }
    return "hashing";
}

// Exact, case-sensitive match; any other text ("paused") gives no value.
constexpr std::optional<DriveTransferProgress::Stage> driveTransferStage(
    std::string_view text) noexcept {
    using Stage = DriveTransferProgress::Stage;
    for (const Stage stage :
         {Stage::hashing, Stage::uploading, Stage::retrying, Stage::verifying, Stage::publishing}) {
        if (rawValue(stage) == text) {
            return stage;
        }
    }
    return std::nullopt;
}

// One interrupted Drive job as the recovery list shows it.
struct DriveRecoveryItem {
    Uuid jobID;
    std::string filename;
    std::int64_t byteCount = 0;
    std::string phase;  // the journal's phase text
    DriveLinkRole role = DriveLinkRole::reader;

    const Uuid& id() const noexcept { return jobID; }

    friend bool operator==(const DriveRecoveryItem&, const DriveRecoveryItem&) = default;
};

}  // namespace tolvane
