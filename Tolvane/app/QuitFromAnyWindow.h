#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>
#include <functional>
#include <optional>

class QWidget;

namespace tolvane {

// Lets the quit command reach the quit protocol from any state. While a window-modal sheet,
// panel or dialog is open, the main window and its menu are blocked and Qt delivers neither the
// quit shortcut nor a close of that window to them. Installed on the application as an event
// filter, this takes Ctrl+Q from whichever window has the keyboard and hands it to `quit`;
// installed as a native event filter, it takes the window manager's close request (X11's
// WM_DELETE_WINDOW) for a blocked window, cancels what blocks it and closes it as asked.
class QuitFromAnyWindow final : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    // The X11 atoms that name a close request: the WM_PROTOCOLS message type and its
    // WM_DELETE_WINDOW protocol.
    struct CloseRequestAtoms {
        std::uint32_t protocols = 0;
        std::uint32_t deleteWindow = 0;
    };

    explicit QuitFromAnyWindow(std::function<void()> quit, QObject* parent = nullptr);

    // The window an X11 event asks to close, when it is a close request.
    static std::optional<std::uint32_t> closeRequestTarget(const void* xcbEvent,
                                                           CloseRequestAtoms atoms);
    // A close of a window that a modal window blocks: what is open is cancelled, then the window
    // gets its close as if nothing had been open. False when the window is not blocked.
    static bool closeBlockedWindow(QWidget* window);

    // Closes every modal window that is open, innermost first, as its own cancel would (a
    // dialog is rejected, so that its owner sees a cancel; anything else is closed). Windows
    // that refuse to close are left open.
    static void closeModalWindows();

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void()> quit_;
    // Interned on the first X11 event; empty on other platforms.
    std::optional<CloseRequestAtoms> atoms_;
};

}  // namespace tolvane
