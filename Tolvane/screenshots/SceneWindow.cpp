#include "Tolvane/screenshots/SceneWindow.h"

#include <string>
#include <utility>
#include <vector>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/ui/ContentView.h"

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
