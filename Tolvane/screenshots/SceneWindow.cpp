#include "Tolvane/screenshots/SceneWindow.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/ui/ContentView.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/common/Progress.h"

namespace tolvane::screenshots {

namespace {

// Ends a job a scene left running before its model goes, so no worker outlives the window.
class JobStopper final : public QObject {
public:
    explicit JobStopper(DeliveryJobModel& job) : job_(job) {}
    ~JobStopper() override { job_.cancel(); }

private:
    DeliveryJobModel& job_;
};

}  // namespace

SceneBackend::SceneBackend(PackEnd end) : end_(end) {}

ArchiveInputSnapshot SceneBackend::captureInputSnapshot(const std::vector<std::string>& sources,
                                                        const std::string& manifest, Progress&,
                                                        std::stop_token) {
    return {manifest, sources.size(), 1'030'000'000, "ab", 1, 2};
}

PackReceipt SceneBackend::pack(const std::vector<std::string>&, const std::string&,
                               Progress& progress, const ArchiveInputSnapshot&,
                               std::stop_token stop) {
    if (end_ == PackEnd::sourceChanged) {
        throw ArchivePipelineError::sourceChanged("size changed: 회의록.docx");
    }
    if (end_ == PackEnd::cancelled) {
        throw ArchivePipelineError::cancelled();
    }
    progress.setTotalUnitCount(100);
    progress.setCompletedUnitCount(40);
    progress.setUserInfo(ArchiveProgressInfo::stageKey,
                         std::string(ArchiveProgressInfo::Stage::packaging));
    progress.setUserInfo(ArchiveProgressInfo::stageCompletedBytesKey, std::uint64_t(412'000'000));
    progress.setUserInfo(ArchiveProgressInfo::stageTotalBytesKey, std::uint64_t(1'030'000'000));
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    never.wait(lock, stop, [] { return false; });
    throw ArchivePipelineError::cancelled();
}

UnpackReceipt SceneBackend::unpack(const std::string&, const std::string&, Progress&,
                                   std::stop_token) {
    throw ArchivePipelineError::cancelled();
}

ContentView* sceneWindow(DeliveryJobModel* job, GoogleConnectionModel* google) {
    auto* center = new VolumeNotificationCenter();
    ExternalVolumeStore::Hooks hooks;
    hooks.scan = [] { return std::vector<ExternalVolume>(); };
    hooks.archiveState = [](const std::string&) { return ArchiveVolumeState(); };
    hooks.eject = [](const std::string&, const std::string&) {};
    auto* volumes = new ExternalVolumeStore(*center, std::move(hooks));
    auto* view = new ContentView(*job, *google, *volumes);
    (new JobStopper(*job))->setParent(view);
    for (QObject* model : {static_cast<QObject*>(volumes), static_cast<QObject*>(center),
                           static_cast<QObject*>(google), static_cast<QObject*>(job)}) {
        model->setParent(view);
    }
    return view;
}

}  // namespace tolvane::screenshots
