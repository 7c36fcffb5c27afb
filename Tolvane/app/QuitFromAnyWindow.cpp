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

bool isQuitKey(const QKeyEvent& key) {
    const Qt::KeyboardModifiers modifiers = key.modifiers() & ~Qt::KeypadModifier;
    return key.key() == Qt::Key_Q && modifiers == Qt::ControlModifier;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
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

bool QuitFromAnyWindow::closeBlockedWindow(QWidget* window) {
    QWidget* const modal = QApplication::activeModalWidget();
    if (window == nullptr || modal == nullptr || modal == window || window->isModal()) {
        return false;
    }
    closeModalWindows();
    window->close();
    return true;
}

bool QuitFromAnyWindow::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t") {
        return false;
    }
    if (!atoms_) {
        auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
        xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
        atoms_ = connection == nullptr
                     ? CloseRequestAtoms{}
                     : CloseRequestAtoms{internAtom(connection, "WM_PROTOCOLS"),
                                         internAtom(connection, "WM_DELETE_WINDOW")};
    }
    const std::optional<std::uint32_t> target = closeRequestTarget(message, *atoms_);
    if (!target || QApplication::activeModalWidget() == nullptr) {
        return false;
    }
    QWidget* window = QWidget::find(static_cast<WId>(*target));
    if (window == nullptr || window == QApplication::activeModalWidget() || window->isModal()) {
        return false;
    }
    // Taken here, before Qt drops it for the blocked window, and acted on from the event loop:
    // closing windows inside the native dispatch is not safe.
    QMetaObject::invokeMethod(
        this, [window = QPointer<QWidget>(window)] { closeBlockedWindow(window); },
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
