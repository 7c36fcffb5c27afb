#include <gtest/gtest.h>

#include <string>

#include "ModelTestSupport.h"
#include "Tolvane/model/InputURL.h"
#include "Tolvane/model/JobBackend.h"
#include "support/TempDir.h"

namespace tolvane::test {
namespace {

using Phase = DeliveryJobModel::Phase;

// The model over the real pipeline: capture, pack, then unpack what was packed.
TEST(DeliveryJobModelEndToEnd, PacksAndUnpacksASelection) {
    TempDir root;
    makeTree(root.path(), {{"photos/", ""},
                           {"photos/a.txt", "첫 번째 파일"},
                           {"photos/sub/", ""},
                           {"photos/sub/b.bin", std::string(70000, 'b')},
                           {"note.md", "# note"},
                           {"out/", ""},
                           {"restored/", ""}});
    DeliveryJobModel model(makeArchivePipelineBackend(), root.file("tmp"));
    ASSERT_EQ(::mkdir(root.file("tmp").c_str(), 0700), 0);

    model.addInputs({InputURL::fromLocalPath(root.file("photos")), root.file("note.md")});
    ASSERT_TRUE(eventually([&] { return !model.isCapturingInputSnapshot(); }));
    ASSERT_TRUE(model.inputSnapshot().has_value())
        << model.inputSnapshotError().value_or(QString()).toStdString();
    const std::string snapshots =
        TemporaryFolder::applicationFolder(root.file("tmp")) + "/InputSnapshots";

    model.startPacking(root.file("out/delivery.zip"));
    ASSERT_TRUE(eventually([&] { return !model.isBusy(); }));
    ASSERT_EQ(model.phase(), Phase::complete)
        << model.errorMessage().value_or(QString()).toStdString();
    EXPECT_EQ(model.outputURL(), root.file("out/delivery.zip"));
    EXPECT_EQ(model.progressFraction(), 1.0);
    EXPECT_TRUE(namesIn(snapshots).empty());

    const std::string archive = *model.outputURL();
    model.clearInputs();
    model.addInputs({archive});
    model.startUnpacking(root.file("restored"));
    ASSERT_TRUE(eventually([&] { return !model.isBusy(); }));
    ASSERT_EQ(model.phase(), Phase::complete)
        << model.errorMessage().value_or(QString()).toStdString();
    const Tree restored = treeOf(*model.outputURL());
    EXPECT_EQ(restored.at("photos/a.txt"), "첫 번째 파일");
    EXPECT_EQ(restored.at("photos/sub/b.bin"), std::string(70000, 'b'));
    EXPECT_EQ(restored.at("note.md"), "# note");
}

}  // namespace
}  // namespace tolvane::test
