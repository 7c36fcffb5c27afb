#pragma once

#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "core/archive/ArchiveValues.h"

namespace tolvane {

class Progress;

// The archive work the job model starts: the three pipeline entry points it needs, behind one
// seam so that tests can hold a job at any point. Called on worker threads, one call per job;
// implementations must allow calls from several threads at once (an outdated capture may still be
// running when the next one starts). Failures are thrown as the pipeline throws them.
class JobBackend {
public:
    virtual ~JobBackend() = default;

    virtual ArchiveInputSnapshot captureInputSnapshot(const std::vector<std::string>& sources,
                                                      const std::string& manifestPath,
                                                      Progress& progress, std::stop_token stop) = 0;

    // Packs without a compression mode of its own: the destination volume decides.
    virtual PackReceipt pack(const std::vector<std::string>& sources,
                             const std::string& archivePath, Progress& progress,
                             const ArchiveInputSnapshot& selectionSnapshot,
                             std::stop_token stop) = 0;

    virtual UnpackReceipt unpack(const std::string& archivePath, const std::string& destinationRoot,
                                 Progress& progress, std::stop_token stop) = 0;
};

// The real archive pipeline.
std::shared_ptr<JobBackend> makeArchivePipelineBackend();

}  // namespace tolvane
