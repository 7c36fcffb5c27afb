#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QWidget;

namespace tolvane {

// Lets the quit command reach the quit protocol from any state. While a window-modal sheet,
// panel or dialog is open, the main window and its menu are blocked and Qt delivers neither the
// quit shortcut nor a close of that window to them. Installed on the application as an event
// filter, this takes Ctrl+Q from whichever modal window has the keyboard and hands it to `quit`;
// installed as a native event filter, it takes Ctrl+Q pressed in a blocked window, which Qt
// drops before any event filter sees it, and the window manager's close request (X11's
// WM_DELETE_WINDOW) for a blocked window, which it answers by cancelling what blocks that window
// and closing it as asked, unless closing that window is itself a quit request: that one goes to
// `quit` with everything left open, for the quit to decide.
class QuitFromAnyWindow final : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    // The X11 atoms that name a close request: the WM_PROTOCOLS message type and its
    // WM_DELETE_WINDOW protocol.
    struct CloseRequestAtoms {
        std::uint32_t protocols = 0;
        std::uint32_t deleteWindow = 0;
    };
    // The keysyms a keycode makes, the first group's unshifted and shifted ones first; empty
    // when unknown.
    using KeysymsOf = std::function<std::vector<std::uint32_t>(std::uint8_t keycode)>;

    // `closeIsQuit` says whether closing a window is a quit request (the last main window).
    explicit QuitFromAnyWindow(std::function<void()> quit,
                               std::function<bool(const QWidget*)> closeIsQuit = {},
                               QObject* parent = nullptr);

    // The window an X11 event asks to close, when it is a close request.
    static std::optional<std::uint32_t> closeRequestTarget(const void* xcbEvent,
                                                           CloseRequestAtoms atoms);
    // Whether an X11 event is a press of Ctrl+Q (Caps Lock and Num Lock aside).
    static bool isQuitKeyPress(const void* xcbEvent, const KeysymsOf& keysymsOf);

    // Whether an open modal window keeps `window` from input: an application-modal one not
    // opened over it, or a window-modal one opened over it or over a window opened over it.
    static bool isBlocked(const QWidget* window);
    // A close the window manager asked of `window` while it may be blocked: what is open over
    // it is cancelled, innermost first, then the window gets its close as if nothing had been
    // open. Windows a modal window elsewhere blocks keep theirs.
    static void closeAsAsked(QWidget* window);
    // A close the window manager asked of a blocked window: `quit` when closing it is a quit
    // request, closeAsAsked() otherwise.
    void closeRequested(QWidget* window);

    // Closes every modal window that is open, innermost first, as its own cancel would (a
    // dialog is rejected, so that its owner sees a cancel; anything else is closed). Windows
    // that refuse to close are left open.
    static void closeModalWindows();

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void()> quit_;
    std::function<bool(const QWidget*)> closeIsQuit_;
    // Interned on the first X11 event; empty on other platforms.
    std::optional<CloseRequestAtoms> atoms_;
};

}  // namespace tolvane
