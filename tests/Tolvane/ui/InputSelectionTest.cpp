#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHelpEvent>
#include <QImage>
#include <QLineEdit>
#include <QSettings>
#include <QTest>
#include <QToolTip>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "Tolvane/FakeJobBackend.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/DropZoneView.h"
#include "Tolvane/ui/ElidedLabel.h"
#include "Tolvane/ui/ExternalVolumesView.h"
#include "Tolvane/ui/GoogleScreensFixture.h"
#include "Tolvane/ui/HeldDriveTransfer.h"
#include "Tolvane/ui/InputFileDialog.h"
#include "Tolvane/ui/InputFileRow.h"
#include "Tolvane/ui/InputListView.h"
#include "Tolvane/ui/PlainToolTip.h"
#include "Tolvane/ui/ResultCardView.h"
#include "Tolvane/ui/ResultFooter.h"
#include "Tolvane/ui/VeskaBusyIndicator.h"
#include "Tolvane/ui/VeskaButton.h"
#include "core/common/ScopeExit.h"

namespace tolvane::test {
namespace {

// What the tooltip shows when the pointer rests at `point` of `widget`; empty when none shows.
QString toolTipAt(QWidget& widget, const QPoint& point) {
    QToolTip::hideText();
    QHelpEvent help(QEvent::ToolTip, point, widget.mapToGlobal(point));
    QApplication::sendEvent(&widget, &help);
    return QToolTip::isVisible() ? QToolTip::text() : QString();
}

// A window over the job model with the system's own panels, shown offscreen, and a store without
// volumes. The panels keep their settings in the test's folder.
class InputSelectionTest : public ModelTest {
protected:
    InputSelectionTest() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(root.file("settings")));
        ExternalVolumeStore::Hooks hooks;
        hooks.scan = [] { return std::vector<ExternalVolume>(); };
        hooks.archiveState = [](const std::string&) { return ArchiveVolumeState(); };
        volumes = std::make_unique<ExternalVolumeStore>(center, std::move(hooks));
        view = std::make_unique<ContentView>(*model, *drive.model, *volumes);
        view->show();
    }
    ~InputSelectionTest() override {
        view.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Adds the inputs and lets their capture finish.
    void selectReleased(const std::vector<std::string>& inputs) {
        model->addInputs(inputs);
        backend->next()->release();
        ASSERT_TRUE(eventually([&] { return !model->isBusy(); }));
    }

    InputRowsView& rows() { return *view->inputList()->rowsView(); }
    QRect rowRect(int row) { return rows().visualRect(rows().model()->index(row, 0)); }

    HeldDriveTransfer drive;
    VolumeNotificationCenter center;
    std::unique_ptr<ExternalVolumeStore> volumes;
    std::unique_ptr<ContentView> view;
};

TEST_F(InputSelectionTest, ThePanelAddsExactlyTheChosenFilesAndFoldersAndOpensTypedPlaces) {
    const std::string dir = root.file("자료");
    const QString folder = QString::fromStdString(dir + "/사진");
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile(QString::fromStdString(dir + "/보고서.txt")).open(QIODevice::WriteOnly);
    QFile(QString::fromStdString(dir + "/메모.txt")).open(QIODevice::WriteOnly);

    struct Case {
        QFileDialog::ViewMode mode;
        QString typedFirst;               // typed into the name field before choosing
        std::vector<std::string> chosen;  // clicked in the listing, in this order
        QString typedLast;                // typed after choosing
        std::vector<std::string> added;   // names added; none: the panel stays open
        QString opens;                    // the folder the panel then shows
    };
    const std::vector<std::string> three = {"메모.txt", "사진", "보고서.txt"};
    const Case cases[] = {
        {QFileDialog::List, {}, {"보고서.txt"}, {}, {"보고서.txt"}, {}},
        {QFileDialog::List, {}, {"사진"}, {}, {"사진"}, {}},
        {QFileDialog::Detail, {}, {"사진"}, {}, {"사진"}, {}},
        {QFileDialog::Detail, {}, three, {}, three, {}},
        {QFileDialog::List, {}, {"사진", "보고서.txt"}, {}, {"사진", "보고서.txt"}, {}},
        // A folder's name typed, then the folder chosen in the listing: the choice counts.
        {QFileDialog::List, QStringLiteral("사진"), {"사진"}, {}, {"사진"}, {}},
        {QFileDialog::List, {}, {}, QStringLiteral("보고서.txt"), {"보고서.txt"}, {}},
        {QFileDialog::Detail,
         {},
         {},
         QStringLiteral("\"사진\" \"보고서.txt\""),
         {"사진", "보고서.txt"},
         {}},
        // Places typed are gone to, never added.
        {QFileDialog::List,
         {},
         {"보고서.txt"},
         QStringLiteral(".."),
         {},
         QString::fromStdString(root.path())},
        {QFileDialog::Detail,
         {},
         {},
         QStringLiteral(".."),
         {},
         QString::fromStdString(root.path())},
        {QFileDialog::Detail, {}, {}, QStringLiteral("~"), {}, QDir::homePath()},
        {QFileDialog::List, {}, {}, folder, {}, folder},
        {QFileDialog::Detail, {}, {"메모.txt"}, QStringLiteral("사진"), {}, folder},
        {QFileDialog::List, {}, {}, QStringLiteral("\"사진\""), {}, folder},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(++number);
        model->clearInputs();
        button(*view->dropZone(), QStringLiteral("파일 선택"))->click();
        auto* panel = view->findChild<InputFileDialog*>();
        ASSERT_TRUE(panel);
        // The places beside the listing hold the folder itself, highlighted there.
        panel->setSidebarUrls({QUrl::fromLocalFile(QString::fromStdString(dir)),
                               QUrl::fromLocalFile(QString::fromStdString(root.path()))});
        panel->setViewMode(c.mode);
        panel->setDirectory(QString::fromStdString(dir));
        QAbstractItemView* listing = panel->fileView();
        ASSERT_TRUE(listing);
        ASSERT_TRUE(
            eventually([&] { return listing->model()->rowCount(listing->rootIndex()) == 3; }));
        auto* field = panel->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_TRUE(field);
        // As typed: the field has the keyboard and each change is an edit.
        const auto type = [&](const QString& text) {
            panel->activateWindow();
            field->setFocus();
            field->clear();
            field->insert(text);
        };
        if (!c.typedFirst.isEmpty()) {
            type(c.typedFirst);
        }
        bool first = true;
        for (const std::string& name : c.chosen) {
            const QModelIndexList found = listing->model()->match(
                listing->model()->index(0, 0, listing->rootIndex()), Qt::DisplayRole,
                QString::fromStdString(name), 1, Qt::MatchExactly);
            ASSERT_EQ(found.size(), 1) << name;
            QTest::mouseClick(listing->viewport(), Qt::LeftButton,
                              first ? Qt::NoModifier : Qt::ControlModifier,
                              listing->visualRect(found.front()).center());
            first = false;
        }
        if (!c.typedLast.isEmpty()) {
            type(c.typedLast);
        }
        // A folder highlighted does not turn the panel into one that opens it.
        EXPECT_EQ(panel->acceptButton()->text(), QStringLiteral("추가"));
        panel->acceptButton()->click();
        std::vector<std::string> expected;
        for (const std::string& name : c.added) {
            expected.push_back(dir + "/" + name + (name.find('.') == std::string::npos ? "/" : ""));
        }
        EXPECT_EQ(model->inputURLs(), expected);
        if (c.added.empty()) {
            EXPECT_EQ(view->findChild<InputFileDialog*>(), panel);
            EXPECT_EQ(panel->directory().canonicalPath(), QDir(c.opens).canonicalPath());
            panel->reject();
        }
        ASSERT_TRUE(eventually([&] { return view->findChild<InputFileDialog*>() == nullptr; }));
        if (!c.added.empty()) {
            backend->next()->release();
            ASSERT_TRUE(eventually([&] { return !model->isBusy(); }));
        }
    }
}

// However the panel reaches a folder, what it adds is what is chosen there: nothing chosen in the
// folder it came from is carried along, and "추가" waits until something is chosen.
TEST_F(InputSelectionTest, ThePanelAddsOnlyWhatIsChosenInTheFolderItShows) {
    const std::string dir = root.file("자료");
    const std::string sub = dir + "/사진";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(sub + "/앨범")));
    for (const std::string& file : {dir + "/보고서.txt", dir + "/메모.txt", dir + "/표.xlsx",
                                    sub + "/a.jpg", sub + "/b.jpg", root.file("밖.txt")}) {
        QFile(QString::fromStdString(file)).open(QIODevice::WriteOnly);
    }
    // "~" leads to the folder too.
    const ScopeExit restoreHome([home = qgetenv("HOME")] { qputenv("HOME", home); });
    qputenv("HOME", QByteArray::fromStdString(dir));

    InputFileDialog* panel = nullptr;
    QAbstractItemView* listing = nullptr;
    QLineEdit* field = nullptr;
    // The row of `name` in the folder the listing shows.
    const auto rowOf = [&](const QString& name) {
        const QModelIndexList found =
            listing->model()->match(listing->model()->index(0, 0, listing->rootIndex()),
                                    Qt::DisplayRole, name, 1, Qt::MatchExactly);
        return found.isEmpty() ? QModelIndex() : found.front();
    };
    const auto shown = [&](const std::string& folder) {
        return eventually([&] {
            return QDir(panel->directory()).canonicalPath() ==
                       QDir(QString::fromStdString(folder)).canonicalPath() &&
                   listing->model()->rowCount(listing->rootIndex()) > 0;
        });
    };
    const auto click = [&](const QString& name, Qt::KeyboardModifiers keys) {
        ASSERT_TRUE(eventually([&] { return rowOf(name).isValid(); })) << name.toStdString();
        const QModelIndex row = rowOf(name);
        listing->scrollTo(row);
        QTest::mouseClick(listing->viewport(), Qt::LeftButton, keys,
                          listing->visualRect(row).center());
    };
    const auto type = [&](const QString& text) {
        panel->activateWindow();
        field->setFocus();
        field->clear();
        for (const QChar letter : text) {  // Hangul as an input method delivers it
            QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(letter),
                                Qt::NoModifier);
        }
        QTest::keyClick(field, Qt::Key_Return);
    };
    const auto tool = [&](const char* name) {
        auto* button = panel->findChild<QAbstractButton*>(QLatin1String(name));
        ASSERT_TRUE(button && button->isEnabled()) << name;
        button->click();
    };
    // Each way starts in `from`, goes to the folder "자료", where `chosen` is Ctrl+clicked.
    struct Case {
        const char* way;
        std::string from;
        std::function<void()> reach;
        std::vector<std::string> chosen;
    };
    const std::vector<std::string> two = {"메모.txt", "표.xlsx"};
    const QString data = QStringLiteral("자료"), photos = QStringLiteral("사진");
    const std::vector<Case> cases = {
        {"typed path", root.path(),
         [&]() {
             click(data, Qt::NoModifier);
             type(QString::fromStdString(dir));
         },
         two},
        {"typed name", root.path(), [&]() { type(data); }, two},
        {"typed ..", sub,
         [&]() {
             click(QStringLiteral("a.jpg"), Qt::ControlModifier);
             type(QStringLiteral(".."));
         },
         two},
        {"typed ~", root.path(),
         [&]() {
             click(QStringLiteral("밖.txt"), Qt::ControlModifier);
             type(QStringLiteral("~"));
         },
         two},
        {"double-click", root.path(),
         [&]() {
             click(QStringLiteral("밖.txt"), Qt::ControlModifier);
             click(data, Qt::NoModifier);  // as a double-click arrives
             const QPoint at = listing->visualRect(rowOf(data)).center();
             QTest::mouseDClick(listing->viewport(), Qt::LeftButton, {}, at);
             QTest::mouseRelease(listing->viewport(), Qt::LeftButton, {}, at);
         },
         two},
        {"Enter on a folder row",
         root.path(),
         [&]() {
             click(data, Qt::NoModifier);
             QTest::keyClick(listing, Qt::Key_Return);
         },
         {"사진", "메모.txt"}},
        {"parent button", sub,
         [&]() {
             click(QStringLiteral("b.jpg"), Qt::ControlModifier);
             tool("toParentButton");
         },
         two},
        {"back button", dir,
         [&]() {
             click(photos, Qt::NoModifier);
             QTest::keyClick(listing, Qt::Key_Return);
             ASSERT_TRUE(shown(sub));
             click(QStringLiteral("a.jpg"), Qt::ControlModifier);
             tool("backButton");
         },
         two},
        {"forward button", root.path(),
         [&]() {
             click(data, Qt::NoModifier);
             QTest::keyClick(listing, Qt::Key_Return);
             ASSERT_TRUE(shown(dir));
             tool("backButton");
             ASSERT_TRUE(shown(root.path()));
             click(QStringLiteral("밖.txt"), Qt::ControlModifier);
             tool("forwardButton");
         },
         two},
        {"location box", sub,
         [&]() {
             click(QStringLiteral("a.jpg"), Qt::ControlModifier);
             auto* box = panel->findChild<QComboBox*>(QStringLiteral("lookInCombo"));
             ASSERT_TRUE(box);
             box->showPopup();
             const int at = box->findText(QString::fromStdString(dir));
             ASSERT_GE(at, 0);
             QAbstractItemView* popup = box->view();
             const QRect item = popup->visualRect(popup->model()->index(at, 0));
             QTest::mouseClick(popup->viewport(), Qt::LeftButton, {}, item.center());
         },
         two},
        {"places", root.path(),
         [&]() {
             click(data, Qt::NoModifier);
             auto* places = panel->findChild<QAbstractItemView*>(QStringLiteral("sidebar"));
             ASSERT_TRUE(places);
             const QModelIndex place = places->model()->index(0, 0);
             QTest::mouseClick(places->viewport(), Qt::LeftButton, Qt::NoModifier,
                               places->visualRect(place).center());
         },
         two},
    };
    for (const QFileDialog::ViewMode mode : {QFileDialog::List, QFileDialog::Detail}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.way) + (mode == QFileDialog::List ? " list" : " detail"));
            model->clearInputs();
            button(*view->dropZone(), QStringLiteral("파일 선택"))->click();
            panel = view->findChild<InputFileDialog*>();
            ASSERT_TRUE(panel);
            panel->setSidebarUrls({QUrl::fromLocalFile(QString::fromStdString(dir))});
            panel->setViewMode(mode);
            panel->setDirectory(QString::fromStdString(c.from));
            listing = panel->fileView();
            field = panel->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            ASSERT_TRUE(listing && field);
            ASSERT_TRUE(shown(c.from));
            c.reach();
            ASSERT_TRUE(shown(dir));
            QApplication::processEvents();
            EXPECT_FALSE(panel->acceptButton()->isEnabled());
            std::vector<std::string> expected;
            for (const std::string& name : c.chosen) {
                click(QString::fromStdString(name), Qt::ControlModifier);
                expected.push_back(dir + "/" + name +
                                   (name.find('.') == std::string::npos ? "/" : ""));
            }
            EXPECT_TRUE(panel->acceptButton()->isEnabled());
            panel->acceptButton()->click();
            EXPECT_EQ(model->inputURLs(), expected);
            if (view->findChild<InputFileDialog*>() == panel) {
                panel->reject();
            }
            ASSERT_TRUE(eventually([&] { return view->findChild<InputFileDialog*>() == nullptr; }));
            if (!model->inputURLs().empty()) {
                backend->next()->release();
                ASSERT_TRUE(eventually([&] { return !model->isBusy(); }));
            }
        }
    }
}

TEST_F(InputSelectionTest, RowsAreDrawnOnlyOnScreenAndFollowAddsAndRemovals) {
    std::vector<std::string> many;
    for (int i = 0; i < 10'000; ++i) {
        many.push_back(root.path() + "/파일 " + std::to_string(i) + ".txt");
    }
    std::vector<std::pair<int, int>> inserted, removed;
    QObject::connect(
        rows().model(), &QAbstractItemModel::rowsInserted,
        [&](const QModelIndex&, int first, int last) { inserted.emplace_back(first, last); });
    QObject::connect(
        rows().model(), &QAbstractItemModel::rowsRemoved,
        [&](const QModelIndex&, int first, int last) { removed.emplace_back(first, last); });
    selectReleased(many);
    model->removeInput(many[5000]);
    backend->next()->release();
    ASSERT_TRUE(eventually([&] { return !model->isBusy(); }));
    model->addInputs({root.path() + "/끝.txt"});
    backend->next()->release();
    ASSERT_TRUE(eventually([&] { return !model->isBusy(); }));

    EXPECT_EQ(inserted, (std::vector<std::pair<int, int>>{{0, 9999}, {9999, 9999}}));
    EXPECT_EQ(removed, (std::vector<std::pair<int, int>>{{5000, 5000}}));
    EXPECT_EQ(rows().model()->rowCount(), 10'000);
    EXPECT_EQ(view->inputList()->countText(), QLocale().toString(10'000));
    // No widget stands for a row.
    EXPECT_LT(view->inputList()->findChildren<QWidget*>().size(), 100);

    model->clearInputs();
    EXPECT_EQ(rows().model()->rowCount(), 0);
    EXPECT_EQ(view->workspaceContent(), view->dropZone());
}

TEST_F(InputSelectionTest, ARowIsRemovedByItsButtonOrTheKeyboardOnlyWhileNothingRuns) {
    const std::vector<std::string> inputs = {root.file("a.txt"), root.file("b.txt"),
                                             root.file("c.txt"), root.file("d.txt"),
                                             root.file("e.txt")};
    selectReleased(inputs);
    QApplication::processEvents();
    QWidget* viewport = rows().viewport();

    // A double-click on a button removes its row only: the next row has moved under it.
    const QPoint dButton = InputFileRow::removeRect(rowRect(3)).center();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, dButton);  // as a double-click arrives
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, dButton);
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, dButton);
    EXPECT_EQ(model->inputURLs(),
              (std::vector<std::string>{inputs[0], inputs[1], inputs[2], inputs[4]}));
    backend->next()->release();
    ASSERT_TRUE(eventually([&] { return !model->isBusy(); }));

    // A press that leaves the button before it is let go removes nothing.
    const QPoint aButton = InputFileRow::removeRect(rowRect(0)).center();
    QTest::mousePress(viewport, Qt::LeftButton, {}, aButton);
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, rowRect(0).center());
    EXPECT_EQ(model->inputURLs().size(), 4u);
    // Elsewhere on the row a click removes nothing either.
    QTest::mouseClick(viewport, Qt::LeftButton, {}, rowRect(0).center());
    EXPECT_EQ(model->inputURLs().size(), 4u);
    QTest::mouseClick(viewport, Qt::LeftButton, {}, aButton);
    EXPECT_EQ(model->inputURLs(), (std::vector<std::string>{inputs[1], inputs[2], inputs[4]}));
    backend->next()->release();
    ASSERT_TRUE(eventually([&] { return !model->isBusy(); }));

    rows().setFocus(Qt::TabFocusReason);
    ASSERT_EQ(rows().currentIndex().row(), 0);  // b.txt
    QTest::keyClick(&rows(), Qt::Key_Down);
    QTest::keyClick(&rows(), Qt::Key_Delete);  // c.txt
    EXPECT_EQ(model->inputURLs(), (std::vector<std::string>{inputs[1], inputs[4]}));

    // The capture of the new selection runs: the rows wait, and the keyboard still moves
    // through the list.
    auto capture = backend->next();
    EXPECT_FALSE(view->inputList()->rowsModel().rowsEnabled());
    EXPECT_TRUE(rows().isEnabled());
    QTest::mouseClick(viewport, Qt::LeftButton, {}, InputFileRow::removeRect(rowRect(0)).center());
    QTest::keyClick(&rows(), Qt::Key_Space);
    EXPECT_EQ(model->inputURLs().size(), 2u);
    rows().setCurrentIndex(rows().model()->index(0, 0));
    QTest::keyClick(&rows(), Qt::Key_Down);
    EXPECT_EQ(rows().currentIndex().row(), 1);
    QTest::keyClick(&rows(), Qt::Key_Up);
    EXPECT_EQ(rows().currentIndex().row(), 0);
    capture->release();
    ASSERT_TRUE(eventually([&] { return view->inputList()->rowsModel().rowsEnabled(); }));
    QTest::keyClick(&rows(), Qt::Key_Space);
    EXPECT_EQ(model->inputURLs(), std::vector{inputs[4]});
    backend->next()->release();
}

// Assistive technology finds each row's remove button, named by its input, where it is drawn,
// and pressing it removes that input alone, only while inputs can be removed.
TEST_F(InputSelectionTest, EachRowsRemoveButtonIsThereForAssistiveTechnology) {
    const std::vector<std::string> inputs = {root.file("a.txt"), root.file("사진") + "/",
                                             root.file("c.pdf")};
    selectReleased(inputs);
    QApplication::processEvents();
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(&rows());
    ASSERT_TRUE(list);
    EXPECT_EQ(list->role(), QAccessible::List);
    ASSERT_EQ(list->childCount(), 3);
    // The row and its button as assistive technology reaches them: from the list, and by point.
    const auto removeButton = [&](int row, const QString& name) -> QAccessibleInterface* {
        QAccessibleInterface* item = list->child(row);
        EXPECT_TRUE(item && item->role() == QAccessible::ListItem && item->childCount() == 1);
        if (item == nullptr) {
            return nullptr;
        }
        EXPECT_EQ(item->text(QAccessible::Name), name);
        QAccessibleInterface* button = item->child(0);
        EXPECT_TRUE(button && button->role() == QAccessible::Button);
        if (button == nullptr) {
            return nullptr;
        }
        EXPECT_EQ(button->text(QAccessible::Name), name + QStringLiteral(" 제거"));
        EXPECT_EQ(button->text(QAccessible::Help), QStringLiteral("입력에서 제거"));
        const QRect drawn = InputFileRow::removeRect(rowRect(row));
        EXPECT_EQ(button->rect(),
                  QRect(rows().viewport()->mapToGlobal(drawn.topLeft()), drawn.size()));
        const QPoint at = button->rect().center();
        EXPECT_EQ(list->childAt(at.x(), at.y()), item);
        EXPECT_EQ(item->childAt(at.x(), at.y()), button);
        EXPECT_EQ(button->parent(), item);
        EXPECT_EQ(item->parent(), list);
        EXPECT_EQ(list->indexOfChild(item), row);
        return button;
    };
    const auto press = [](QAccessibleInterface* button) {
        ASSERT_TRUE(button && button->actionInterface());
        button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    };

    press(removeButton(1, QStringLiteral("사진")));
    EXPECT_EQ(model->inputURLs(), (std::vector{inputs[0], inputs[2]}));
    // While the new selection is captured, the button is there but does nothing.
    auto capture = backend->next();
    ASSERT_EQ(list->childCount(), 2);
    QAccessibleInterface* pdf = removeButton(1, QStringLiteral("c.pdf"));
    ASSERT_TRUE(pdf);
    EXPECT_TRUE(pdf->state().disabled);
    press(pdf);
    EXPECT_EQ(model->inputURLs().size(), 2u);
    capture->release();
    ASSERT_TRUE(eventually([&] { return view->inputList()->rowsModel().rowsEnabled(); }));
    EXPECT_FALSE(pdf->state().disabled);
    press(pdf);
    EXPECT_EQ(model->inputURLs(), std::vector{inputs[0]});
    backend->next()->release();
}

TEST_F(InputSelectionTest, AShortenedNameKeepsBothEndsAndTheRowsTooltipIsTheFullPath) {
    const std::string folder = root.file("<b>보관<i>");
    const std::string name =
        "2024 하반기 사업계획서 최종본 (수정 3차) - 검토 의견 반영 완료 버전 - 제출용 사본 - "
        "최종의 최종.pdf";
    selectReleased({folder + "/" + name});
    QApplication::processEvents();

    const QRect row = rowRect(0);
    const QRect text = InputFileRow::textRect(row);
    const auto lines = InputFileRow::linesOf(
        folder + "/" + name, QFontMetrics(VeskaTheme::font(VeskaTheme::bodySize, QFont::Medium)),
        QFontMetrics(VeskaTheme::font(VeskaTheme::captionSize)), text.width());
    ASSERT_NE(lines.name, QString::fromStdString(name));  // shortened
    EXPECT_TRUE(lines.name.startsWith(QStringLiteral("2024 하반기")));
    EXPECT_TRUE(lines.name.endsWith(QStringLiteral("최종.pdf")));
    EXPECT_EQ(lines.folder, QStringLiteral("<b>보관<i>"));

    // Over the shortened name the tooltip is the whole path, as text; over the button its help.
    const QString path = toolTipAt(*rows().viewport(), QPoint(text.left() + 10, text.center().y()));
    EXPECT_EQ(path, plainToolTip(QString::fromStdString(folder + "/" + name)));
    EXPECT_TRUE(path.contains(QStringLiteral("&lt;b&gt;보관")));
    EXPECT_EQ(toolTipAt(*rows().viewport(), InputFileRow::removeRect(row).center()),
              QStringLiteral("입력에서 제거"));
    // Assistive technology reads the name, the whole path, and how the input is removed.
    const QModelIndex index = rows().model()->index(0, 0);
    EXPECT_EQ(index.data(Qt::AccessibleTextRole).toString(), QString::fromStdString(name));
    EXPECT_EQ(index.data(Qt::AccessibleDescriptionRole).toString(),
              QString::fromStdString(folder + "/" + name));
    EXPECT_EQ(rows().accessibleDescription(), InputRowsView::removalHint);

    // The kind icon's tile lies on whole pixels: its first and last lines are all tile.
    const QImage drawn = rows().grab().toImage();
    const int x = InputFileRow::contentRect(row).left() + InputFileRow::iconWidth / 2;
    const int tileTop = row.top() + (InputFileRow::rowHeight() - 1 - InputFileRow::iconHeight) / 2;
    const QColor background = drawn.pixelColor(x, row.top());
    const QColor tile = drawn.pixelColor(x, tileTop + 4);
    int top = row.top();
    while (top < row.bottom() && drawn.pixelColor(x, top) == background) {
        ++top;
    }
    int bottom = row.top() + InputFileRow::rowHeight() - 1;
    while (bottom > top && drawn.pixelColor(x, bottom) == background) {
        --bottom;
    }
    EXPECT_EQ(drawn.pixelColor(x, top), tile);
    EXPECT_EQ(drawn.pixelColor(x, bottom), tile);
    EXPECT_EQ(bottom - top + 1, InputFileRow::iconHeight);
}

TEST(ElidedLabelTest, TheOwnersTooltipAlwaysWinsAndOnlyAShortenedLabelOffersItsText) {
    const QString text = QStringLiteral("아주 긴 이름의 외장 장치 - 백업용 2TB.zip");
    const QString full = plainToolTip(text);
    const QString owner = QStringLiteral("/media/minji/아주 긴 이름");
    struct Case {
        const char* name;
        bool labelTip;   // the owner set the label's own tooltip
        bool aroundTip;  // the owner set a tooltip on the widget around the label
        bool shortened;
        QString shown;  // what the label itself shows; empty: the widget around it answers
    };
    const Case cases[] = {
        {"fits, no tooltips", false, false, false, {}},
        {"shortened, no tooltips", false, false, true, full},
        {"shortened inside a row with the path", false, true, true, {}},
        {"fits, with its own", true, false, false, owner},
        {"shortened, with its own", true, true, true, owner},
    };
    for (const Case& c : cases) {
        QWidget around;
        if (c.aroundTip) {
            around.setToolTip(QStringLiteral("the row"));
        }
        ElidedLabel label(Qt::ElideMiddle, &around);
        label.setText(text);
        if (c.labelTip) {
            label.setToolTip(owner);
        }
        label.resize(c.shortened ? 40 : label.sizeHint().width() + 10, 20);
        around.show();
        EXPECT_EQ(label.effectiveToolTip(), c.shown) << c.name;
        // What the pointer shows: the label's, else the row's around it.
        const QString expected =
            c.shown.isEmpty() && c.aroundTip ? QStringLiteral("the row") : c.shown;
        EXPECT_EQ(toolTipAt(label, {5, 5}), expected) << c.name;
    }
}

TEST(ExternalVolumesViewTooltipTest, AVolumeNameHasItsFullNameAsHelpAlsoWhenItFits) {
    ExternalVolume stick{"/media/u/S", QStringLiteral("S<b>"), "U", false, {}, 900'000'000, "ext4"};
    ExternalVolumesView view([](const ExternalVolume&) {}, nullptr, [](const std::string&) {});
    view.setVolumes({stick}, std::nullopt, std::nullopt, false);
    view.resize(600, 80);
    view.show();
    QApplication::processEvents();
    ElidedLabel* name = nullptr;
    for (auto* label : view.findChildren<ElidedLabel*>()) {
        if (label->text() == stick.name) {
            name = label;
        }
    }
    ASSERT_TRUE(name);
    ASSERT_EQ(name->shownText(), stick.name);
    EXPECT_EQ(name->effectiveToolTip(), plainToolTip(stick.name));
    EXPECT_EQ(toolTipAt(*name, {2, 2}), plainToolTip(stick.name));
}

// A finished pack on an external volume whose rescans wait for the test while `holdScans` is set.
class EjectStartTest : public ModelTest {
protected:
    EjectStartTest() {
        ExternalVolumeStore::Hooks hooks;
        hooks.scan = [this] {
            std::unique_lock lock(mutex);
            released.wait(lock, [&] { return !holdScans || closing; });
            ExternalVolume stick{root.path(), QStringLiteral("USB"), "UUID-1", false,
                                 {},          900'000'000,           "exfat"};
            return std::vector{stick};
        };
        hooks.onMount = [] {};
        hooks.archiveState = [this](const std::string& url) {
            return ArchiveVolumeState{QFile::exists(QString::fromStdString(url)),
                                      std::string("UUID-1")};
        };
        hooks.eject = [](const std::string&, const std::string&) {
            throw std::runtime_error("target is busy");
        };
        volumes = std::make_unique<ExternalVolumeStore>(center, std::move(hooks));
        EXPECT_TRUE(eventually([&] { return !volumes->volumes().empty(); }));
        view = std::make_unique<ContentView>(*model, *drive.model, *volumes);
        model->addInputs({root.file("a.txt")});
        backend->next()->release();
        EXPECT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
        model->startPacking(archive);
        auto pack = backend->next();
        QFile(QString::fromStdString(archive)).open(QIODevice::WriteOnly);
        pack->release();
        EXPECT_TRUE(
            eventually([&] { return model->phase() == DeliveryJobModel::Phase::complete; }));
    }
    ~EjectStartTest() override {
        release();
        eventually([&] { return !volumes->isEjecting(); });
        view.reset();
    }
    void hold() {
        const std::lock_guard lock(mutex);
        holdScans = true;
    }
    void release() {
        {
            const std::lock_guard lock(mutex);
            holdScans = false;
            closing = true;
        }
        released.notify_all();
    }

    std::string archive = root.file("납품.zip");
    std::mutex mutex;
    std::condition_variable released;
    bool holdScans = false;
    bool closing = false;
    HeldDriveTransfer drive;
    VolumeNotificationCenter center;
    std::unique_ptr<ExternalVolumeStore> volumes;
    std::unique_ptr<ContentView> view;
};

TEST_F(EjectStartTest, TheEjectShowsAndBlocksFromTheMomentItIsAsked) {
    ResultCardView& card = *view->resultCard();
    ResultFooter& footer = *view->resultFooter();
    ASSERT_TRUE(button(card, QStringLiteral("안전하게 제거")));
    ASSERT_TRUE(button(footer, QStringLiteral("링크 만들기")));
    hold();  // the rescan before the eject takes its time
    button(card, QStringLiteral("안전하게 제거"))->click();

    EXPECT_TRUE(volumes->isEjecting());
    EXPECT_FALSE(button(card, QStringLiteral("안전하게 제거")));
    ASSERT_TRUE(button(card, QStringLiteral("제거 중")));
    EXPECT_FALSE(button(card, QStringLiteral("제거 중"))->isEnabled());
    EXPECT_TRUE(card.findChild<VeskaBusyIndicator*>()->isVisibleTo(&card));
    EXPECT_FALSE(button(footer, QStringLiteral("새 작업"))->isEnabled());
    EXPECT_FALSE(button(footer, QStringLiteral("링크 만들기"))->isEnabled());
    // A second press, or a Drive link, starts nothing meanwhile.
    view->safelyEject(archive);
    view->confirmDriveShare();
    if (view->shareConfirmation()) {
        view->shareConfirmation()->buttons().constFirst()->click();
    }
    EXPECT_EQ(drive.shares(), 0);
    // New inputs would put the selection in the card's place before the eject's outcome shows,
    // and could be read from the volume being unmounted.
    int panels = 0;
    ContentView::Panels counting;
    counting.chooseInputs = [&](QWidget*, std::function<void(std::vector<std::string>)>) {
        ++panels;
    };
    view->setPanels(counting);
    const QUrl more = QUrl::fromLocalFile(QString::fromStdString(root.file("b.txt")));
    EXPECT_FALSE(view->dropURLs({more}));
    button(*view->dropZone(), QStringLiteral("파일 선택"))->click();
    EXPECT_EQ(panels, 0);
    EXPECT_EQ(model->inputURLs(), std::vector{root.file("a.txt")});

    release();
    ASSERT_TRUE(eventually([&] { return !volumes->isEjecting(); }));
    EXPECT_EQ(view->ejectionError(), QStringLiteral("장치를 제거하지 못했습니다. target is busy"));
    EXPECT_TRUE(button(footer, QStringLiteral("새 작업"))->isEnabled());
    // Once the eject has ended, inputs are taken again.
    button(*view->dropZone(), QStringLiteral("파일 선택"))->click();
    EXPECT_EQ(panels, 1);
    EXPECT_TRUE(view->dropURLs({more}));
    backend->next()->release();
}

}  // namespace
}  // namespace tolvane::test
