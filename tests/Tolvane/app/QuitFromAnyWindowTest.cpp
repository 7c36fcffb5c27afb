#include "Tolvane/app/QuitFromAnyWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tolvane::test {
namespace {

QDialog* sheet(QWidget* parent) {
    auto* dialog = new QDialog(parent);
    dialog->setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(dialog);
    layout->addWidget(new QLineEdit(dialog));
    return dialog;
}

QDialog* alert(QWidget* parent) {
    auto* box = new QMessageBox(QMessageBox::Warning, "Veska", "?",
                                QMessageBox::Ok | QMessageBox::Cancel, parent);
    box->setWindowModality(Qt::WindowModal);
    return box;
}

QDialog* folderPanel(QWidget* parent) {
    auto* panel = new QFileDialog(parent);
    panel->setOption(QFileDialog::DontUseNativeDialog);
    panel->setFileMode(QFileDialog::Directory);
    panel->setWindowModality(Qt::WindowModal);
    return panel;
}

using Make = std::function<QDialog*(QWidget*)>;

// Opens each over the one before, the first over `window`, counting their rejections.
std::vector<std::unique_ptr<QDialog>> openStack(QWidget* window, const std::vector<Make>& stack,
                                                int& rejected) {
    std::vector<std::unique_ptr<QDialog>> open;
    QWidget* parent = window;
    for (const Make& make : stack) {
        open.emplace_back(make(parent));
        QObject::connect(open.back().get(), &QDialog::rejected, [&rejected] { ++rejected; });
        if (!open.back()->isVisible()) {
            open.back()->open();
        }
        parent = open.back().get();
    }
    return open;
}

// Ctrl+Q reaches the quit command from whatever modal window has the keyboard, and the windows
// open then are cancelled, innermost first; other keys stay the window's own.
TEST(QuitFromAnyWindowTest, CtrlQInAModalWindowCancelsWhatIsOpenAndQuits) {
    const struct {
        const char* name;
        std::vector<Make> stack;  // each opened over the one before, the first over the window
        QKeyCombination key;
        bool quits;
    } rows[] = {
        {"a sheet", {sheet}, Qt::CTRL | Qt::Key_Q, true},
        {"an alert", {alert}, Qt::CTRL | Qt::Key_Q, true},
        {"a folder panel", {folderPanel}, Qt::CTRL | Qt::Key_Q, true},
        {"an alert over a sheet", {sheet, alert}, Qt::CTRL | Qt::Key_Q, true},
        {"a plain q in a sheet", {sheet}, QKeyCombination(Qt::Key_Q), false},
        {"Ctrl+Shift+Q in a sheet", {sheet}, Qt::CTRL | Qt::SHIFT | Qt::Key_Q, false},
        {"no modal window", {}, Qt::CTRL | Qt::Key_Q, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QMainWindow window;
        auto* field = new QLineEdit(&window);
        window.setCentralWidget(field);
        window.show();
        int quits = 0;
        QuitFromAnyWindow filter([&] {
            ++quits;
            QuitFromAnyWindow::closeModalWindows();
        });
        qApp->installEventFilter(&filter);
        int rejected = 0;
        std::vector<std::unique_ptr<QDialog>> open = openStack(&window, row.stack, rejected);
        QWidget* target = open.empty() ? static_cast<QWidget*>(field) : open.back().get();
        if (QWidget* focus = target->focusWidget()) {
            target = focus;
        }
        QTest::keyClick(target, row.key.key(), row.key.keyboardModifiers());
        EXPECT_EQ(quits, row.quits ? 1 : 0);
        EXPECT_EQ(rejected, row.quits ? static_cast<int>(open.size()) : 0);
        EXPECT_EQ(QApplication::activeModalWidget() == nullptr, row.quits || open.empty());
        // Innermost first: a dialog takes the ones opened over it along.
        while (!open.empty()) {
            open.pop_back();
        }
    }
}

// Of the X11 client messages a window receives, only WM_PROTOCOLS with WM_DELETE_WINDOW is the
// window manager asking to close it, whether the window manager or the server sent it.
TEST(QuitFromAnyWindowTest, RecognisesOnlyTheWindowManagersCloseRequest) {
    const QuitFromAnyWindow::CloseRequestAtoms atoms{40, 41};
    const struct {
        const char* name;
        std::uint8_t responseType;
        std::uint8_t format;
        xcb_atom_t type;
        std::uint32_t protocol;
        bool close;
    } rows[] = {
        {"close request", XCB_CLIENT_MESSAGE, 32, 40, 41, true},
        {"sent by another client", XCB_CLIENT_MESSAGE | 0x80, 32, 40, 41, true},
        {"another protocol (a ping)", XCB_CLIENT_MESSAGE, 32, 40, 42, false},
        {"another message type", XCB_CLIENT_MESSAGE, 32, 43, 41, false},
        {"8-bit data", XCB_CLIENT_MESSAGE, 8, 40, 41, false},
        {"not a client message", XCB_PROPERTY_NOTIFY, 32, 40, 41, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        xcb_client_message_event_t event{};
        event.response_type = row.responseType;
        event.format = row.format;
        event.window = 77;
        event.type = row.type;
        event.data.data32[0] = row.protocol;
        EXPECT_EQ(QuitFromAnyWindow::closeRequestTarget(&event, atoms),
                  row.close ? std::optional<std::uint32_t>(77) : std::nullopt);
    }
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    EXPECT_EQ(QuitFromAnyWindow::closeRequestTarget(&event, {}), std::nullopt);
}

// Ctrl+Q is recognised by the symbol the key makes in the first group, whatever key that is,
// with Caps Lock or Num Lock on; another modifier makes it another command.
TEST(QuitFromAnyWindowTest, RecognisesCtrlQPressedInABlockedWindow) {
    constexpr std::uint32_t q = 0x71, bigQ = 0x51, a = 0x61, bigA = 0x41, w = 0x77;
    const struct {
        const char* name;
        std::uint8_t responseType;
        std::uint16_t state;
        std::vector<std::uint32_t> keysyms;
        bool quit;
    } rows[] = {
        {"Ctrl+Q", XCB_KEY_PRESS, XCB_MOD_MASK_CONTROL, {q, bigQ}, true},
        {"with Caps Lock and Num Lock",
         XCB_KEY_PRESS,
         XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2,
         {q, bigQ},
         true},
        {"a layout with only the capital", XCB_KEY_PRESS, XCB_MOD_MASK_CONTROL, {bigQ}, true},
        {"sent by another client", XCB_KEY_PRESS | 0x80, XCB_MOD_MASK_CONTROL, {q, bigQ}, true},
        {"the key that is q elsewhere", XCB_KEY_PRESS, XCB_MOD_MASK_CONTROL, {a, bigA}, false},
        {"Ctrl+W", XCB_KEY_PRESS, XCB_MOD_MASK_CONTROL, {w}, false},
        {"q only in another group", XCB_KEY_PRESS, XCB_MOD_MASK_CONTROL, {a, bigA, q, bigQ}, false},
        {"an unmapped key", XCB_KEY_PRESS, XCB_MOD_MASK_CONTROL, {}, false},
        {"plain q", XCB_KEY_PRESS, 0, {q, bigQ}, false},
        {"Ctrl+Shift+Q",
         XCB_KEY_PRESS,
         XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT,
         {q, bigQ},
         false},
        {"Ctrl+Alt+Q", XCB_KEY_PRESS, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1, {q, bigQ}, false},
        {"Ctrl+Super+Q", XCB_KEY_PRESS, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_4, {q, bigQ}, false},
        {"the release", XCB_KEY_RELEASE, XCB_MOD_MASK_CONTROL, {q, bigQ}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        xcb_key_press_event_t event{};
        event.response_type = row.responseType;
        event.state = row.state;
        event.detail = 24;
        std::optional<std::uint8_t> asked;
        const bool quit = QuitFromAnyWindow::isQuitKeyPress(&event, [&](std::uint8_t keycode) {
            asked = keycode;
            return row.keysyms;
        });
        EXPECT_EQ(quit, row.quit);
        if (asked) {
            EXPECT_EQ(*asked, 24);
        }
    }
}

// A close the window manager asks of a window cancels only what is open over that window, then
// closes it, also when what blocked it closed before the request was acted on; another window's
// sheet stays open.
TEST(QuitFromAnyWindowTest, ClosingAWindowCancelsOnlyWhatIsOpenOverIt) {
    class Window final : public QMainWindow {
    public:
        int closes = 0;

    protected:
        void closeEvent(QCloseEvent* event) override {
            ++closes;
            event->ignore();
        }
    };
    enum Target { windowA, windowB, firstOpen };
    const auto applicationModal = [](QWidget* parent) {
        QDialog* dialog = sheet(parent);
        // open() would make it window-modal.
        dialog->setWindowModality(Qt::ApplicationModal);
        dialog->show();
        return dialog;
    };
    const struct {
        const char* name;
        std::vector<Make> stack;  // each opened over the one before, the first over window A
        bool closedFirst;         // the stack closes before the request is acted on
        Target target;
        bool blocked;
        int rejected;
        int closesA;
        int closesB;
    } rows[] = {
        {"a sheet on A, closing A", {sheet}, false, windowA, true, 1, 1, 0},
        {"a sheet on A, closing B", {sheet}, false, windowB, false, 0, 0, 1},
        {"an alert over a sheet on A, closing A", {sheet, alert}, false, windowA, true, 2, 1, 0},
        {"an alert over a sheet on A, closing B", {sheet, alert}, false, windowB, false, 0, 0, 1},
        {"an alert over a sheet, closing the sheet",
         {sheet, alert},
         false,
         firstOpen,
         true,
         2,
         0,
         0},
        {"an application-modal dialog on A, closing B",
         {applicationModal},
         false,
         windowB,
         true,
         1,
         0,
         1},
        {"a sheet on A that closed meanwhile", {sheet}, true, windowA, false, 1, 1, 0},
        {"nothing open, closing A", {}, false, windowA, false, 0, 1, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Window a;
        Window b;
        a.show();
        b.show();
        int rejected = 0;
        std::vector<std::unique_ptr<QDialog>> open = openStack(&a, row.stack, rejected);
        if (row.closedFirst) {
            QuitFromAnyWindow::closeModalWindows();
        }
        QWidget* target = row.target == windowA   ? static_cast<QWidget*>(&a)
                          : row.target == windowB ? static_cast<QWidget*>(&b)
                                                  : open.front().get();
        EXPECT_EQ(QuitFromAnyWindow::isBlocked(target), row.blocked);
        QuitFromAnyWindow::closeAsAsked(target);
        EXPECT_EQ(rejected, row.rejected);
        EXPECT_EQ(a.closes, row.closesA);
        EXPECT_EQ(b.closes, row.closesB);
        const bool stillOpen = !row.closedFirst && row.rejected == 0 && !open.empty();
        EXPECT_EQ(QApplication::activeModalWidget() != nullptr, stillOpen);
        while (!open.empty()) {
            open.pop_back();
        }
    }
}

// Closing the window whose close is a quit request (the last one) hands the request to the quit
// with what is open over it left alone: the quit decides whether it closes. Any other window's
// close cancels what is open over it first.
TEST(QuitFromAnyWindowTest, ClosingTheLastWindowLeavesItsSheetsToTheQuit) {
    for (const bool last : {true, false}) {
        SCOPED_TRACE(last ? "the last window" : "another window");
        QMainWindow window;
        window.show();
        int quits = 0;
        QuitFromAnyWindow filter([&] { ++quits; },
                                 [&](const QWidget* closed) { return last && closed == &window; });
        int rejected = 0;
        std::vector<std::unique_ptr<QDialog>> open = openStack(&window, {sheet}, rejected);
        filter.closeRequested(&window);
        EXPECT_EQ(quits, last ? 1 : 0);
        EXPECT_EQ(rejected, last ? 0 : 1);
        EXPECT_EQ(open.front()->isVisible(), last);
        EXPECT_EQ(window.isVisible(), last);
    }
}

}  // namespace
}  // namespace tolvane::test
