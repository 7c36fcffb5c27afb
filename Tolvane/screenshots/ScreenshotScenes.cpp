#include "Tolvane/screenshots/ScreenshotScenes.h"

#include <QApplication>
#include <QList>
#include <QRect>
#include <QVBoxLayout>

namespace tolvane::screenshots {

namespace {

std::vector<Scene>& registry() {
    static std::vector<Scene> scenes;
    return scenes;
}

// Where every widget of the scene sits and how big it is.
QList<QRect> geometries(const QWidget& widget) {
    QList<QRect> result{widget.geometry()};
    for (const auto* child : widget.findChildren<QWidget*>()) {
        result << (child->isVisible() ? child->geometry() : QRect());
    }
    return result;
}

}  // namespace

void settleLayout(QWidget& widget) {
    // A change of what a scene shows posts layout requests that post further ones up the tree,
    // one round of the event loop per level.
    QList<QRect> before;
    for (int round = 0; round < 20; ++round) {
        QApplication::processEvents();
        QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        widget.adjustSize();
        QList<QRect> now = geometries(widget);
        if (round > 0 && now == before) {
            return;
        }
        before = std::move(now);
    }
}

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
