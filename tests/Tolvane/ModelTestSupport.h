#pragma once

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "FakeJobBackend.h"
#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/TemporaryFolder.h"
#include "support/TempDir.h"

namespace tolvane {

struct DeliveryJobModelTestPeer {
    static void restartCapture(DeliveryJobModel& model) { model.scheduleInputSnapshot(); }
};

namespace test {

// Runs the GUI thread's event loop until the condition holds. The limit is only a safety net:
// the conditions are met as soon as the outcome posted by a worker has been applied.
inline bool eventually(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 60000);
}

// A model over the fake backend, with its temporary folder inside a fresh directory.
class ModelTest : public ::testing::Test {
protected:
    ModelTest() : model(std::make_unique<DeliveryJobModel>(backend, root.path())) {}

    ~ModelTest() override {
        // Lets every held worker return, then applies what they posted, so that nothing from
        // this test reaches the next one.
        backend->releaseAll();
        QCoreApplication::sendPostedEvents();
    }

    std::string snapshotFolder() const {
        return TemporaryFolder::applicationFolder(root.path()) + "/InputSnapshots";
    }

    // Adds the inputs and returns the capture they started, still held.
    std::shared_ptr<HeldCall> select(const std::vector<std::string>& inputs) {
        model->addInputs(inputs);
        return backend->next();
    }

    // A selection with its snapshot captured: ready to pack.
    void selectReady(const std::vector<std::string>& inputs) {
        select(inputs)->release();
        EXPECT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
    }

    TempDir root;
    std::shared_ptr<FakeJobBackend> backend = std::make_shared<FakeJobBackend>();
    std::unique_ptr<DeliveryJobModel> model;
};

}  // namespace test
}  // namespace tolvane
