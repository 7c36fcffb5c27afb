#include "Tolvane/app/QuitFromAnyWindow.h"

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QWidget>

#include <utility>

namespace tolvane {

namespace {

// More than any real stack of sheets and alerts; only ends a loop over windows that stay open.
constexpr int maxModalWindows = 32;

bool isQuitKey(const QKeyEvent& key) {
    const Qt::KeyboardModifiers modifiers = key.modifiers() & ~Qt::KeypadModifier;
    return key.key() == Qt::Key_Q && modifiers == Qt::ControlModifier;
}

}  // namespace

QuitFromAnyWindow::QuitFromAnyWindow(std::function<void()> quit, QObject* parent)
    : QObject(parent), quit_(std::move(quit)) {}

void QuitFromAnyWindow::closeModalWindows() {
    QWidget* previous = nullptr;
    for (int i = 0; i < maxModalWindows; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == previous) {
            return;
        }
        previous = modal;
        if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
        } else {
            modal->close();
        }
    }
}

bool QuitFromAnyWindow::eventFilter(QObject* watched, QEvent* event) {
    // Without a modal window the menu's own shortcut is live and takes the key first.
    if (event->type() != QEvent::KeyPress || QApplication::activeModalWidget() == nullptr ||
        !watched->isWidgetType()) {
        return false;
    }
    const auto& key = static_cast<const QKeyEvent&>(*event);
    if (!isQuitKey(key) || key.isAutoRepeat()) {
        return false;
    }
    if (quit_) {
        quit_();
    }
    return true;
}

}  // namespace tolvane
