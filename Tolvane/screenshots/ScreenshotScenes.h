#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

namespace tolvane::screenshots {

// One picture of the screenshot program: a name (the file is <name>-<dark|light>.png) and a
// function that builds the widget with fixed sample data. The function runs once per appearance,
// after the application's palette is set, and the program owns and deletes what it returns.
struct Scene {
    QString name;
    std::function<QWidget*()> build;
};

// Adds scenes to the program's list. Every screen registers its own from its scenes file:
//   const bool registered = registerScenes({{"name", [] { return new ...; }}});
bool registerScenes(std::vector<Scene> scenes);
const std::vector<Scene>& allScenes();

// Lays the shown widget out completely: runs the event loop until no widget of it moves.
void settleLayout(QWidget& widget);

// Wraps a widget in a canvas-coloured frame with a margin, as a window would show it.
QWidget* onCanvas(QWidget* content, int margin = 24);

}  // namespace tolvane::screenshots
