#include "Tolvane/app/QuitFromAnyWindow.h"

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QWidget>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

namespace tolvane {

namespace {

// More than any real stack of sheets and alerts; only ends a loop over windows that stay open.
constexpr int maxModalWindows = 32;

constexpr std::uint32_t keysymQ = 0x51;
constexpr std::uint32_t keysymLowerQ = 0x71;

bool isQuitKey(const QKeyEvent& key) {
    const Qt::KeyboardModifiers modifiers = key.modifiers() & ~Qt::KeypadModifier;
    return key.key() == Qt::Key_Q && modifiers == Qt::ControlModifier;
}

// The window `widget` was opened over, when it has one.
QWidget* openedOver(const QWidget* widget) {
    QWidget* parent = widget->parentWidget();
    return parent != nullptr ? parent->window() : nullptr;
}

// Whether `window` is `base` or was opened, over however many windows, over it.
bool reaches(const QWidget* window, const QWidget* base) {
    for (int i = 0; window != nullptr && i < maxModalWindows; ++i) {
        if (window == base) {
            return true;
        }
        window = openedOver(window);
    }
    return false;
}

// As Qt decides it: an application-modal window blocks every window but itself and those
// opened over it; a window-modal one blocks the windows of its own hierarchy.
bool blocks(const QWidget* modal, const QWidget* window) {
    if (!modal->isModal() || !modal->isVisible() || reaches(window, modal)) {
        return false;
    }
    if (modal->windowModality() == Qt::ApplicationModal) {
        return true;
    }
    for (const QWidget* own = window; own != nullptr; own = openedOver(own)) {
        if (reaches(modal, own)) {
            return true;
        }
    }
    return false;
}

// The innermost of the modal windows that block `window`: one no other of them blocks.
QWidget* innermostOver(const QWidget* window) {
    QWidget* found = nullptr;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* modal : windows) {
        if (!blocks(modal, window)) {
            continue;
        }
        if (found == nullptr || blocks(modal, found)) {
            found = modal;
        }
    }
    return found;
}

void cancel(QWidget* modal) {
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
        dialog->reject();
    } else {
        modal->close();
    }
}

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// The keysyms the X server maps `keycode` to now, the first group's two first.
std::vector<std::uint32_t> keyboardMapping(xcb_connection_t* connection, std::uint8_t keycode) {
    const xcb_get_keyboard_mapping_cookie_t cookie =
        xcb_get_keyboard_mapping(connection, keycode, 1);
    const std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> reply(
        xcb_get_keyboard_mapping_reply(connection, cookie, nullptr), &std::free);
    if (!reply) {
        return {};
    }
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
    const int count = xcb_get_keyboard_mapping_keysyms_length(reply.get());
    return {keysyms, keysyms + count};
}

}  // namespace

QuitFromAnyWindow::QuitFromAnyWindow(std::function<void()> quit,
                                     std::function<bool(const QWidget*)> closeIsQuit,
                                     QObject* parent)
    : QObject(parent), quit_(std::move(quit)), closeIsQuit_(std::move(closeIsQuit)) {}

void QuitFromAnyWindow::closeModalWindows() {
    QWidget* previous = nullptr;
    for (int i = 0; i < maxModalWindows; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == previous) {
            return;
        }
        previous = modal;
        cancel(modal);
    }
}

bool QuitFromAnyWindow::isBlocked(const QWidget* window) {
    return window != nullptr && innermostOver(window) != nullptr;
}

void QuitFromAnyWindow::closeAsAsked(QWidget* window) {
    QWidget* previous = nullptr;
    for (int i = 0; i < maxModalWindows; ++i) {
        QWidget* modal = innermostOver(window);
        if (modal == nullptr || modal == previous) {
            break;
        }
        previous = modal;
        cancel(modal);
    }
    window->close();
}

void QuitFromAnyWindow::closeRequested(QWidget* window) {
    // The quit may still be refused ("계속 작업"): what is open stays until it goes ahead.
    if (closeIsQuit_ && closeIsQuit_(window)) {
        if (quit_) {
            quit_();
        }
        return;
    }
    closeAsAsked(window);
}

std::optional<std::uint32_t> QuitFromAnyWindow::closeRequestTarget(const void* xcbEvent,
                                                                   CloseRequestAtoms atoms) {
    const auto* event = static_cast<const xcb_generic_event_t*>(xcbEvent);
    // The high bit only says that another client sent it, as a window manager does.
    if ((event->response_type & ~0x80) != XCB_CLIENT_MESSAGE || atoms.protocols == XCB_ATOM_NONE) {
        return std::nullopt;
    }
    const auto* message = static_cast<const xcb_client_message_event_t*>(xcbEvent);
    if (message->format != 32 || message->type != atoms.protocols ||
        message->data.data32[0] != atoms.deleteWindow) {
        return std::nullopt;
    }
    return message->window;
}

bool QuitFromAnyWindow::isQuitKeyPress(const void* xcbEvent, const KeysymsOf& keysymsOf) {
    const auto* event = static_cast<const xcb_key_press_event_t*>(xcbEvent);
    if ((event->response_type & ~0x80) != XCB_KEY_PRESS) {
        return false;
    }
    constexpr std::uint16_t considered =
        XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;
    if ((event->state & considered) != XCB_MOD_MASK_CONTROL) {
        return false;
    }
    // The unshifted and shifted symbol: Caps Lock turns the one into the other.
    const std::vector<std::uint32_t> keysyms = keysymsOf(event->detail);
    const auto isQ = [](std::uint32_t keysym) {
        return keysym == keysymLowerQ || keysym == keysymQ;
    };
    return (!keysyms.empty() && isQ(keysyms[0])) || (keysyms.size() > 1 && isQ(keysyms[1]));
}

bool QuitFromAnyWindow::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t" || QApplication::activeModalWidget() == nullptr) {
        return false;
    }
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
    if (connection == nullptr) {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & ~0x80) == XCB_KEY_PRESS) {
        // X11 reports the key to the window that has the keyboard; Qt drops it there while
        // that window is blocked; a key for an unblocked one goes on to Qt and its shortcuts.
        const QWidget* target = QWidget::find(
            static_cast<WId>(static_cast<const xcb_key_press_event_t*>(message)->event));
        if (target == nullptr || !isBlocked(target->window()) ||
            !isQuitKeyPress(message, [connection](std::uint8_t keycode) {
                return keyboardMapping(connection, keycode);
            })) {
            return false;
        }
        // The quit may ask modally: it runs from the event loop, not inside the native dispatch.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (quit_) {
                    quit_();
                }
            },
            Qt::QueuedConnection);
        return true;
    }
    if (!atoms_) {
        atoms_ = CloseRequestAtoms{internAtom(connection, "WM_PROTOCOLS"),
                                   internAtom(connection, "WM_DELETE_WINDOW")};
    }
    const std::optional<std::uint32_t> target = closeRequestTarget(message, *atoms_);
    if (!target) {
        return false;
    }
    QWidget* window = QWidget::find(static_cast<WId>(*target));
    if (window == nullptr || !isBlocked(window)) {
        return false;
    }
    // Taken here, before Qt drops it for the blocked window, and acted on from the event loop:
    // closing windows inside the native dispatch is not safe. The close was asked for, so it
    // happens even when what blocked the window has closed by then.
    QMetaObject::invokeMethod(
        this,
        [this, window = QPointer<QWidget>(window)] {
            if (window) {
                closeRequested(window);
            }
        },
        Qt::QueuedConnection);
    return true;
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
