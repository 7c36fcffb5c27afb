#include "Tolvane/model/JobBackend.h"

#include <optional>

#include "core/archive/ArchivePipeline.h"
#include "core/archive/ArchiveSelection.h"

namespace tolvane {

namespace {

class ArchivePipelineBackend final : public JobBackend {
public:
    ArchiveInputSnapshot captureInputSnapshot(const std::vector<std::string>& sources,
                                              const std::string& manifestPath, Progress& progress,
                                              std::stop_token stop) override {
        return ArchivePipeline::captureInputSnapshot(sources, manifestPath, &progress,
                                                     std::move(stop));
    }

    PackReceipt pack(const std::vector<std::string>& sources, const std::string& archivePath,
                     Progress& progress, const ArchiveInputSnapshot& selectionSnapshot,
                     std::stop_token stop) override {
        return ArchivePipeline::pack(sources, archivePath, &progress, selectionSnapshot,
                                     std::nullopt, std::move(stop));
    }

    UnpackReceipt unpack(const std::string& archivePath, const std::string& destinationRoot,
                         Progress& progress, std::stop_token stop) override {
        return ArchivePipeline::unpack(archivePath, destinationRoot, &progress, std::move(stop));
    }
};

}  // namespace

std::shared_ptr<JobBackend> makeArchivePipelineBackend() {
    return std::make_shared<ArchivePipelineBackend>();
}

}  // namespace tolvane
