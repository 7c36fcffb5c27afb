#pragma once

namespace tolvane {
class ContentView;
class DeliveryJobModel;
class GoogleConnectionModel;
}  // namespace tolvane

namespace tolvane::screenshots {

// A window over the given models and a volume store that finds no volume and contacts nothing.
// The window takes the models and the store: they go with it, after its own parts and after a
// job still running is cancelled.
ContentView* sceneWindow(DeliveryJobModel* job, GoogleConnectionModel* google);

}  // namespace tolvane::screenshots
