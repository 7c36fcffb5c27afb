#include <QLineEdit>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "Tolvane/FakeJobBackend.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/model/JobBackend.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/DropZoneView.h"
#include "Tolvane/ui/HeldDriveTransfer.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/WorkFooterView.h"
#include "support/TempDir.h"

namespace tolvane::test {
namespace {

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// Packs a folder through the window with the real pipeline, then unpacks the ZIP it made.
TEST(RealJobWindow, PacksAndUnpacksThroughTheWindow) {
    TempDir root;
    const std::string source = root.path() + "/보고서";
    const std::string out = root.path() + "/out";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(source)));
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(out)));
    std::ofstream(source + "/본문.txt") << "첫 줄\n둘째 줄\n";

    DeliveryJobModel model(makeArchivePipelineBackend(), root.path());
    HeldDriveTransfer drive;
    VolumeNotificationCenter center;
    ExternalVolumeStore::Hooks hooks;
    hooks.scan = [] { return std::vector<ExternalVolume>(); };
    hooks.archiveState = [](const std::string&) { return ArchiveVolumeState(); };
    ExternalVolumeStore volumes(center, std::move(hooks));
    ContentView view(model, *drive.model, volumes);
    std::vector<std::string> picked;
    std::string folder;
    ContentView::Panels panels;
    panels.chooseInputs = [&](QWidget*, auto chosen) { chosen(picked); };
    panels.chooseFolder = [&](QWidget*, const ContentView::FolderPanel&, auto chosen) {
        chosen(folder);
    };
    view.setPanels(std::move(panels));
    VeskaButton* start = view.workFooter()->startButton();

    // Pack: the folder picked (as the panel gives it, without a trailing "/"), then "out".
    picked = {source};
    view.dropZone()->findChild<VeskaButton*>()->click();
    ASSERT_TRUE(eventually([&] { return start->isVisibleTo(&view) && start->isEnabled(); }));
    EXPECT_EQ(start->text(), QStringLiteral("ZIP 만들기"));
    folder = out;
    start->click();
    ASSERT_TRUE(view.nameSheet());
    EXPECT_EQ(view.nameSheet()->enteredName(), QStringLiteral("보고서.zip"));
    QTest::keyClick(view.nameSheet()->findChild<QLineEdit*>(), Qt::Key_Return);
    ASSERT_TRUE(eventually([&] { return view.workspaceContent() == view.resultPlace(); }))
        << model.errorMessage().value_or(QString()).toStdString();
    ASSERT_TRUE(model.outputURL());
    const std::string archive = *model.outputURL();
    EXPECT_EQ(archive, out + "/보고서.zip");
    EXPECT_TRUE(view.finishedFooterPlace()->isVisibleTo(&view));
    EXPECT_FALSE(view.workFooter()->isVisibleTo(&view));

    // Unpack the ZIP just made into a new folder.
    model.startNewJob();
    picked = {archive};
    folder = root.path() + "/restored";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    view.dropZone()->findChild<VeskaButton*>()->click();
    ASSERT_TRUE(eventually([&] { return start->isVisibleTo(&view) && start->isEnabled(); }));
    EXPECT_EQ(start->text(), QStringLiteral("압축 풀기"));
    start->click();
    ASSERT_TRUE(eventually([&] { return view.workspaceContent() == view.resultPlace(); }))
        << model.errorMessage().value_or(QString()).toStdString();
    const std::string restored = *model.outputURL();
    EXPECT_EQ(contents(restored + "/보고서/본문.txt"), "첫 줄\n둘째 줄\n") << restored;
}

// A dropped name that is not UTF-8 reaches the pipeline as the bytes on disk, which refuses it
// for what it is instead of looking for another file.
TEST(RealJobWindow, ADroppedNameThatIsNotUTF8IsRefusedForItsName) {
    TempDir root;
    const std::string odd = root.path() +
                            "/a\xFF"
                            "b.txt";
    std::ofstream(odd) << "x";
    std::ofstream(root.path() +
                  "/a\xEF\xBF\xBD"
                  "b.txt")
        << "another file";

    DeliveryJobModel model(makeArchivePipelineBackend(), root.path());
    HeldDriveTransfer drive;
    VolumeNotificationCenter center;
    ExternalVolumeStore::Hooks hooks;
    hooks.scan = [] { return std::vector<ExternalVolume>(); };
    hooks.archiveState = [](const std::string&) { return ArchiveVolumeState(); };
    ExternalVolumeStore volumes(center, std::move(hooks));
    ContentView view(model, *drive.model, volumes);

    ASSERT_TRUE(
        view.dropURLs({QUrl(QString::fromStdString("file://" + root.path() + "/a%FFb.txt"))}));
    EXPECT_EQ(model.inputURLs(), std::vector<std::string>{odd});
    ASSERT_TRUE(eventually([&] { return !model.isBusy(); }));
    EXPECT_FALSE(model.inputSnapshot());
    EXPECT_EQ(model.inputSnapshotError(), QStringLiteral("지원하지 않는 파일 형식입니다: ") +
                                              QString::fromStdString(root.path()));
}

}  // namespace
}  // namespace tolvane::test
