#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <fstream>

#include "Tolvane/FakeJobBackend.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/ElidedLabel.h"
#include "Tolvane/ui/HeldDriveTransfer.h"
#include "Tolvane/ui/InputFileRow.h"
#include "Tolvane/ui/InputListView.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/WorkFooterView.h"
#include "Tolvane/ui/WorkStatusView.h"

namespace tolvane::test {
namespace {

constexpr std::uint64_t reserve = 16 * 1024 * 1024;

// A window over the given job model whose panels answer from the test: the inputs panel with
// `inputs`, every folder panel with `folder` (nothing: cancelled); what they were asked is kept.
class Window {
public:
    Window(DeliveryJobModel& model, GoogleConnectionModel& google) {
        ExternalVolumeStore::Hooks hooks;
        hooks.scan = [listed = volumes] { return *listed; };
        hooks.archiveState = [](const std::string&) { return ArchiveVolumeState(); };
        store = std::make_unique<ExternalVolumeStore>(center, std::move(hooks));
        view = std::make_unique<ContentView>(model, google, *store);
        ContentView::Panels panels;
        panels.chooseInputs = [this](QWidget*, auto chosen) {
            ++inputPanels;
            chosen(inputs);
        };
        panels.chooseFolder = [this](QWidget*, const ContentView::FolderPanel& panel, auto chosen) {
            asked.push_back(panel);
            if (folder) {
                chosen(*folder);
            }
        };
        panels.folderVolumeUUID = [this](const std::string&) { return folderUUID; };
        view->setPanels(std::move(panels));
    }
    ~Window() {
        view.reset();
        store.reset();
    }

    // Confirms the open name sheet with the name.
    void confirmName(const QString& name) {
        ASSERT_TRUE(view->nameSheet());
        auto* field = view->nameSheet()->findChild<QLineEdit*>();
        field->setText(name);
        QTest::keyClick(field, Qt::Key_Return);
    }

    std::shared_ptr<std::vector<ExternalVolume>> volumes =
        std::make_shared<std::vector<ExternalVolume>>();
    VolumeNotificationCenter center;
    std::unique_ptr<ExternalVolumeStore> store;
    std::unique_ptr<ContentView> view;
    std::vector<std::string> inputs;
    std::optional<std::string> folder;
    std::optional<std::string> folderUUID;
    std::vector<ContentView::FolderPanel> asked;
    int inputPanels = 0;
};

class JobStartWindowTest : public ModelTest {
protected:
    // Files selected and their snapshot taken.
    void selectFiles() {
        select({root.path() + "/a.txt", root.path() + "/b.txt"})->release();
        ASSERT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
    }

    ExternalVolume stick() const {
        return {root.path(), "STICK", "1234-ABCD", false, std::nullopt, reserve + 1, "exfat"};
    }

    HeldDriveTransfer drive;
    Window window{*model, *drive.model};
};

TEST_F(JobStartWindowTest, APickedVolumeIsCheckedBeforeTheFolderPanel) {
    selectFiles();
    const auto refused = QStringLiteral("장치의 쓰기 권한과 작업 공간을 확인해 주세요.");
    ExternalVolume tight = stick();
    tight.availableBytes = reserve;
    ExternalVolume unnamed = stick();
    unnamed.uuid.reset();
    const std::pair<ExternalVolume, bool> cases[] = {
        {tight, false}, {unnamed, false}, {stick(), true}};
    for (const auto& [volume, opens] : cases) {
        window.asked.clear();
        window.view->startJob(volume);
        EXPECT_EQ(window.asked.size(), opens ? 1u : 0u);
        EXPECT_EQ(window.view->externalVolumeError(),
                  opens ? std::nullopt : std::optional(refused));
    }
    EXPECT_EQ(window.asked.back().title, QStringLiteral("ZIP을 저장할 폴더"));
    EXPECT_EQ(window.asked.back().startingFolder, root.path());

    // While a Drive upload runs nothing happens, not even clearing the last message.
    window.view->startJob(tight);
    drive.start();
    window.view->startJob(std::nullopt);
    EXPECT_EQ(window.view->externalVolumeError(), refused);
}

TEST_F(JobStartWindowTest, TheVolumeIsCheckedAgainWhenTheNameIsConfirmed) {
    selectFiles();
    const auto changed =
        QStringLiteral("장치가 분리되었거나 저장 위치가 변경됐습니다. 다시 확인해 주세요.");
    window.folder = root.path();
    struct Case {
        const char* name;
        bool listed;
        std::optional<std::string> folderUUID;
    };
    const Case cases[] = {
        {"volume gone", false, "1234-ABCD"},
        {"folder on another device", true, "9999-0000"},
    };
    for (const Case& c : cases) {
        *window.volumes = c.listed ? std::vector{stick()} : std::vector<ExternalVolume>();
        window.folderUUID = c.folderUUID;
        window.view->startJob(stick());
        ASSERT_TRUE(window.view->pendingArchiveSave()) << c.name;
        const std::weak_ptr lease = window.view->pendingArchiveSave()->accessLease;
        window.confirmName(QStringLiteral("납품"));
        ASSERT_TRUE(eventually([&] { return window.view->externalVolumeError().has_value(); }))
            << c.name;
        EXPECT_EQ(window.view->externalVolumeError(), changed) << c.name;
        EXPECT_FALSE(window.view->pendingArchiveSave()) << c.name;
        EXPECT_TRUE(lease.expired()) << c.name;
        EXPECT_EQ(model->phase(), DeliveryJobModel::Phase::idle) << c.name;
    }

    *window.volumes = {stick()};
    window.folderUUID = "1234-ABCD";
    window.view->startJob(stick());
    window.confirmName(QStringLiteral("납품"));
    // The store looks for the volume afresh before the pack starts.
    ASSERT_TRUE(eventually([&] { return model->phase() == DeliveryJobModel::Phase::packing; }));
    const auto pack = backend->next();
    ASSERT_TRUE(pack);
    EXPECT_EQ(pack->path, root.path() + "/납품.zip");
    EXPECT_FALSE(window.view->externalVolumeError());
    EXPECT_FALSE(window.view->pendingArchiveSave());
    pack->release();
}

TEST_F(JobStartWindowTest, EveryWayOutOfTheNameSheetReleasesTheFolder) {
    selectFiles();
    window.folder = root.path();
    const std::function<void(ArchiveNameSheet&)> ways[] = {
        [](ArchiveNameSheet& sheet) { QTest::keyClick(&sheet, Qt::Key_Escape); },
        [](ArchiveNameSheet& sheet) { sheet.close(); },
        [](ArchiveNameSheet& sheet) {
            for (auto* button : sheet.findChildren<VeskaButton*>()) {
                if (button->text() == QStringLiteral("취소")) {
                    button->click();
                }
            }
        },
    };
    for (const auto& leave : ways) {
        window.view->startJob(std::nullopt);
        ASSERT_TRUE(window.view->pendingArchiveSave());
        EXPECT_EQ(window.view->nameSheet()->enteredName(), QStringLiteral("Package.zip"));
        const std::weak_ptr lease = window.view->pendingArchiveSave()->accessLease;
        leave(*window.view->nameSheet());
        EXPECT_FALSE(window.view->pendingArchiveSave());
        EXPECT_TRUE(lease.expired());
    }
    // The selection's folder is where the panel opens without a volume.
    EXPECT_EQ(window.asked.back().startingFolder, root.path());
    // A name confirmed while the selection is being checked again keeps the sheet, and the
    // name, for another try.
    window.view->startJob(std::nullopt);
    model->refreshInputs();  // nothing to refresh: still idle
    DeliveryJobModelTestPeer::restartCapture(*model);
    auto capture = backend->next();
    window.confirmName(QStringLiteral("다시"));
    ASSERT_TRUE(window.view->nameSheet());
    EXPECT_EQ(window.view->nameSheet()->enteredName(), QStringLiteral("다시"));
    EXPECT_TRUE(window.view->pendingArchiveSave());
    capture->release();
}

TEST_F(JobStartWindowTest, CtrlOAddsOnlyWhileTheListHeaderIsEnabled) {
    window.view->show();
    QApplication::setActiveWindow(window.view.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.view.get()));
    window.inputs = {root.path() + "/a.txt"};
    // A shortcut presses its button as a click shown briefly, so the press lands a moment later.
    const auto pressCtrlO = [&] {
        QTest::keyClick(window.view.get(), Qt::Key_O, Qt::ControlModifier);
    };
    pressCtrlO();  // the drop zone's
    ASSERT_TRUE(eventually([&] { return window.inputPanels == 1; }));
    ASSERT_EQ(window.view->workspaceContent(), window.view->inputListPlace());

    auto capture = backend->next();  // the header is disabled while the capture runs
    ASSERT_FALSE(window.view->inputList()->header()->isEnabled());
    pressCtrlO();
    capture->release();
    ASSERT_TRUE(eventually([&] { return window.view->inputList()->header()->isEnabled(); }));
    window.inputs = {root.path() + "/b.txt"};
    pressCtrlO();
    ASSERT_TRUE(eventually([&] { return model->inputURLs().size() == 2u; }));
    // Only the press made while the header was enabled reached the panel.
    EXPECT_EQ(window.inputPanels, 2);
    backend->next()->release();
    ASSERT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));

    // Escape stops the capture; Return starts the job.
    auto stoppable = select({root.path() + "/c.txt"});
    QTest::keyClick(window.view.get(), Qt::Key_Escape);
    ASSERT_TRUE(stoppable->stop.stop_requested());
    stoppable->release(std::make_exception_ptr(ArchivePipelineError::cancelled()));
    ASSERT_TRUE(eventually([&] { return !model->isCapturingInputSnapshot(); }));
    ASSERT_EQ(window.view->workFooter()->shownAction(), WorkFooterView::Action::recheck);
    QTest::keyClick(window.view.get(), Qt::Key_Return);
    backend->next()->release();
    ASSERT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
    QTest::keyClick(window.view.get(), Qt::Key_Return);
    EXPECT_EQ(window.asked.size(), 1u);
}

TEST_F(JobStartWindowTest, NamesAreShownAsPlainText) {
    // "/" cannot be part of a file name; markup without it can.
    const std::string name = "<b>x<i>.txt";
    select({root.path() + "/" + name})->release();
    const QAbstractItemModel& rows = window.view->inputList()->rowsModel();
    ASSERT_EQ(rows.rowCount(), 1);
    const QModelIndex row = rows.index(0, 0);
    const auto lines = InputFileRow::linesOf(root.path() + "/" + name, QFontMetrics(QFont()),
                                             QFontMetrics(QFont()), 200);
    EXPECT_EQ(lines.name, QString::fromStdString(name));
    // Qt reads a tooltip that looks like markup as markup; escaped, it shows the name.
    EXPECT_TRUE(
        row.data(Qt::ToolTipRole).toString().contains(QStringLiteral("&lt;b&gt;x&lt;i&gt;.txt")));
    EXPECT_EQ(row.data(Qt::AccessibleDescriptionRole).toString(),
              QString::fromStdString(root.path() + "/" + name));
}

}  // namespace
}  // namespace tolvane::test
