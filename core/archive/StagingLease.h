#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/Progress.h"
#include "core/common/UniqueFd.h"

namespace tolvane::ArchivePipeline {

// Every entry a job leaves in the destination folder is ".tolvane-" + its UUID + one of these
// suffixes; recovery never touches any other name, nor one of these unless the job that made it
// recorded it in the user's data folder (see stageRecordDirectory).
inline constexpr std::string_view stageNamePrefix = ".tolvane-";
inline constexpr std::string_view stageDirectorySuffix = ".partial";
inline constexpr std::string_view stageLockSuffix = ".lock";
inline constexpr std::string_view stageJournalSuffix = ".job.json";
// A journal larger than this is not one of ours.
inline constexpr std::size_t maximumStageJournalBytes = 1024;

// True for a name recovery could take for a stage, its lock or its journal (any spelling of the
// UUID). Nothing an unpack extracts may carry one: data could otherwise pass for a dead job's.
bool isStageMarkerName(std::string_view name);

// "Tolvane/Stages" in the user's data folder: one record per live or crashed job, named by its
// UUID, written before any of its entries exist, so that an entry no record backs (an unpacked
// look-alike, another program's file) is never taken away.
std::string stageRecordDirectory();

// The record beside a stage that tells a later job which operation of which process made it.
struct StageJournal {
    std::int64_t version = 1;
    std::string jobIdentifier;
    std::string operation;
    std::int32_t ownerProcessIdentifier = 0;

    friend bool operator==(const StageJournal&, const StageJournal&) = default;
};

// Compact JSON with the keys in field order.
std::string encodeStageJournal(const StageJournal& journal);
// Strict decoding (exact types, ranges checked); throws StrictJson::DecodeError.
StageJournal decodeStageJournal(std::string_view text);

// realpath(3) of a directory path; throws std::system_error.
std::string physicalDirectoryURL(const std::string& directory);

// The job-long owner of a hidden stage directory beside the final output. It holds the
// destination folder open, keeps an exclusive flock on the stage's lock file, and remembers the
// identities of the folder and of the stage, so nothing is committed into a folder that was
// swapped, moved or redirected during the job. Used by one job at a time; the thread that makes
// it need not be the one that uses or removes it.
//
// Dropping a lease without remove() only closes its descriptors: the stage stays on disk and a
// later job in that folder takes it away as a stale stage.
class StagingLease {
public:
    StagingLease(StagingLease&&) noexcept = default;
    StagingLease& operator=(StagingLease&&) noexcept = default;
    StagingLease(const StagingLease&) = delete;
    StagingLease& operator=(const StagingLease&) = delete;
    ~StagingLease() = default;

    // The stage directory: parentURL() + "/" + stageName().
    const std::string& url() const noexcept { return url_; }
    // The destination folder with symbolic links resolved.
    const std::string& parentURL() const noexcept { return parentURL_; }
    // The destination folder exactly as the caller gave it.
    const std::string& selectedParentURL() const noexcept { return selectedParentURL_; }
    const std::string& stageName() const noexcept { return stageName_; }
    const std::string& journalName() const noexcept { return journalName_; }
    const std::string& lockName() const noexcept { return lockName_; }
    bool isRemoved() const noexcept { return !parentFd_.valid(); }

    // Throws destinationChanged (with the path that failed) unless both the physical folder and
    // the folder path the caller gave still lead to the folder the lease was made in.
    void verifyDestinationParent() const;

    // A descriptor of the stage directory, checked to be the stage this lease made; a stage that
    // is gone or was replaced is destinationChanged.
    UniqueFd openStageDirectory() const;
    // Creates a new file inside the stage through the stage's descriptor (exclusive, no link
    // followed). `accessFlags` is O_RDWR or O_WRONLY. Throws finalizationFailed("invalid staging
    // filename") for a name that is not one plain component, or std::system_error.
    UniqueFd createStageFile(const std::string& name, int accessFlags = O_RDWR,
                             mode_t mode = 0600) const;

    // Moves the stage file `name` beside the stage, under the last component of `destination`
    // or the first free "_2"-style variant of it. Returns the path used.
    std::string commitFile(const std::string& name, const std::string& destination);
    // Makes the stage directory itself the output folder, named like commitFile's output.
    std::string commitDirectory(const std::string& destination);
    // Deletes one regular file from the stage; a missing file is not an error.
    void removeFileFromStage(const std::string& name);

    // Ends the lease: removes the stage tree and, once the stage name is gone, the journal and
    // the lock file. Never throws and may be called again without effect. Problems (and the
    // warnings of the stale-stage recovery that ran when the lease was made) are published as
    // Korean lines joined by "\n" under the progress object's clean-up warning key.
    void remove(Progress* progress) noexcept;

private:
    friend StagingLease makeStage(const std::string& parent, std::string_view operation,
                                  Progress* progress);
    StagingLease() = default;

    std::string url_;
    std::string parentURL_;
    std::string selectedParentURL_;
    std::string stageName_;
    std::string journalName_;
    std::string lockName_;
    std::uint64_t parentDevice_ = 0;
    std::uint64_t parentInode_ = 0;
    std::uint64_t stageDevice_ = 0;
    std::uint64_t stageInode_ = 0;
    std::uint64_t journalDevice_ = 0;
    std::uint64_t journalInode_ = 0;
    std::string recordPath_;  // empty when the job could not record its stage
    UniqueFd parentFd_;
    UniqueFd lockFd_;
    std::vector<std::string> recoveryWarnings_;
};

// Makes a new stage in the folder `parent` for the operation "pack" or "unpack", after taking
// away stale stages of dead jobs there. Warnings of that recovery go to the progress object at
// once and again with the lease's own clean-up warnings. Throws ArchivePipelineError or
// std::system_error (std::invalid_argument for another operation text).
StagingLease makeStage(const std::string& parent, std::string_view operation,
                       Progress* progress = nullptr);

// Removes the directory `name` in `parentFd` with everything in it, unless it is not a
// directory or not the expected one. Directories owned by this user are made accessible (0700)
// before anything inside them is touched, so restored permissions cannot pin a stage. Returns
// true only when the directory was found, emptied and removed; throws std::system_error for an
// unexpected failure.
bool removeStageTree(int parentFd, const std::string& name,
                     std::optional<std::uint64_t> expectedDevice,
                     std::optional<std::uint64_t> expectedInode);
// Deletes everything inside a directory through descriptors, never following a link, with a
// bounded number of descriptors open whatever the depth. Returns true when every entry went.
bool removeDirectoryContents(int directoryFd);

// Takes away the stages and orphan markers in `parentFd` whose lock nobody holds, whose every
// marker proves they belong to this system and this user, and whose job recorded them in
// stageRecordDirectory() for this folder. A stale stage that still cannot
// be removed is left with its markers and reported in the returned Korean warning lines; only a
// failure to list the folder is thrown.
std::vector<std::string> reconcileStaleStages(const std::string& parentURL, int parentFd);

// The journal of `jobIdentifier` in `parentFd`: a regular file of this user of at most
// maximumStageJournalBytes that decodes strictly. Nothing on any failure.
std::optional<StageJournal> readJournal(int parentFd, const std::string& jobIdentifier);

}  // namespace tolvane::ArchivePipeline
