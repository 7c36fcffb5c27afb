#pragma once

#include "Tolvane/model/JobBackend.h"

namespace tolvane {
class ContentView;
class DeliveryJobModel;
class GoogleConnectionModel;
}  // namespace tolvane

namespace tolvane::screenshots {

// How a scene's sample pack ends: it stays at 40 % until the window goes, or it fails, or it stops.
enum class PackEnd { holdAtForty, sourceChanged, cancelled };

// A pipeline that reads nothing: a selection is captured at once as 1.03 GB, the pack ends as
// given, an unpack is cancelled.
class SceneBackend final : public JobBackend {
public:
    explicit SceneBackend(PackEnd end);

    ArchiveInputSnapshot captureInputSnapshot(const std::vector<std::string>& sources,
                                              const std::string& manifest, Progress& progress,
                                              std::stop_token stop) override;
    PackReceipt pack(const std::vector<std::string>& sources, const std::string& destination,
                     Progress& progress, const ArchiveInputSnapshot& snapshot,
                     std::stop_token stop) override;
    UnpackReceipt unpack(const std::string& archive, const std::string& destination,
                         Progress& progress, std::stop_token stop) override;

private:
    PackEnd end_;
};

// A window over the given models and a volume store that finds no volume and contacts nothing.
// The window takes the models and the store: they go with it, after its own parts and after a
// job still running is cancelled.
ContentView* sceneWindow(DeliveryJobModel* job, GoogleConnectionModel* google);

}  // namespace tolvane::screenshots
