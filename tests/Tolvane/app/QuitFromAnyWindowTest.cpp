#include "Tolvane/app/QuitFromAnyWindow.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
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

}  // namespace
}  // namespace tolvane::test
