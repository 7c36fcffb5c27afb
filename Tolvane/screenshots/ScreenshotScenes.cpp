#include "Tolvane/screenshots/ScreenshotScenes.h"

#include <QVBoxLayout>

namespace tolvane::screenshots {

namespace {

std::vector<Scene>& registry() {
    static std::vector<Scene> scenes;
    return scenes;
}

}  // namespace

bool registerScenes(std::vector<Scene> scenes) {
    for (auto& scene : scenes) {
        registry().push_back(std::move(scene));
    }
    return true;
}

const std::vector<Scene>& allScenes() {
    return registry();
}

QWidget* onCanvas(QWidget* content, int margin) {
    auto* frame = new QWidget;
    frame->setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(margin, margin, margin, margin);
    layout->addWidget(content);
    // The frame holds the focus, so that no control of the scene shows a focus ring.
    frame->setFocus();
    return frame;
}

}  // namespace tolvane::screenshots
