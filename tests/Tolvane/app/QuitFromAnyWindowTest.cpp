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

// Ctrl+Q reaches the quit command from whatever modal window has the keyboard, and the windows
// open then are cancelled, innermost first; other keys stay the window's own.
TEST(QuitFromAnyWindowTest, CtrlQInAModalWindowCancelsWhatIsOpenAndQuits) {
    using Make = std::function<QDialog*(QWidget*)>;
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
        std::vector<std::unique_ptr<QDialog>> open;
        int rejected = 0;
        QWidget* parent = &window;
        for (const Make& make : row.stack) {
            open.emplace_back(make(parent));
            QObject::connect(open.back().get(), &QDialog::rejected, [&] { ++rejected; });
            open.back()->open();
            parent = open.back().get();
        }
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

// A window a sheet blocks gets its close once the sheet is cancelled; an unblocked window is
// left to Qt's own handling.
TEST(QuitFromAnyWindowTest, ClosingABlockedWindowCancelsTheSheetFirst) {
    class Window final : public QMainWindow {
    public:
        int closes = 0;

    protected:
        void closeEvent(QCloseEvent* event) override {
            ++closes;
            event->ignore();
        }
    };
    Window window;
    window.show();
    EXPECT_FALSE(QuitFromAnyWindow::closeBlockedWindow(&window));
    const std::unique_ptr<QDialog> open(sheet(&window));
    int rejected = 0;
    QObject::connect(open.get(), &QDialog::rejected, [&] { ++rejected; });
    open->open();
    EXPECT_FALSE(QuitFromAnyWindow::closeBlockedWindow(open.get()));
    EXPECT_TRUE(QuitFromAnyWindow::closeBlockedWindow(&window));
    EXPECT_EQ(rejected, 1);
    EXPECT_EQ(window.closes, 1);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
}  // namespace tolvane::test
