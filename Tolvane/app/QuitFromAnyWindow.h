#pragma once

#include <QObject>

#include <functional>

namespace tolvane {

// Lets the quit command reach the quit protocol from any state. While a window-modal sheet,
// panel or dialog is open, the main window and its menu are blocked and Qt delivers neither the
// quit shortcut nor a close of that window to them; this filter, installed on the application,
// takes Ctrl+Q from whichever window has the keyboard and hands it to `quit`.
class QuitFromAnyWindow final : public QObject {
    Q_OBJECT

public:
    explicit QuitFromAnyWindow(std::function<void()> quit, QObject* parent = nullptr);

    // Closes every modal window that is open, innermost first, as its own cancel would (a
    // dialog is rejected, so that its owner sees a cancel; anything else is closed). Windows
    // that refuse to close are left open.
    static void closeModalWindows();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void()> quit_;
};

}  // namespace tolvane
