#pragma once

#include <QTest>

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/TemporaryFolder.h"
#include "core/archive/ArchivePipelineError.h"
#include "support/TempDir.h"

namespace tolvane {

struct DeliveryJobModelTestPeer {
    static void restartCapture(DeliveryJobModel& model) { model.scheduleInputSnapshot(); }
};

namespace test {

// Only a safety net against a hung test; nothing waits this long when the code is right.
constexpr int safetyLimitMs = 60000;

// One call into the fake backend. Its worker waits inside the call until the test releases it;
// meanwhile the test reads what the model passed and writes to its progress object.
struct HeldCall {
    std::vector<std::string> sources;
    std::string path;  // manifest, archive to create, or archive to unpack
    std::optional<ArchiveInputSnapshot> snapshot;
    Progress* progress = nullptr;
    std::stop_token stop;
    std::promise<std::exception_ptr> outcome;
    std::once_flag released;

    // The call returns its default result, or throws the error.
    void release(std::exception_ptr error = nullptr) {
        std::call_once(released, [&] { outcome.set_value(error); });
    }
};

// A JobBackend whose every call blocks until the test releases it. A capture first writes a
// manifest and a registry companion where the pipeline would, so the tests see who deletes them.
class FakeJobBackend final : public JobBackend {
public:
    // The next call that entered, waiting for one.
    std::shared_ptr<HeldCall> next() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::milliseconds(safetyLimitMs),
                               [this] { return !entered_.empty(); })) {
            ADD_FAILURE() << "no call reached the backend";
            return nullptr;
        }
        auto call = entered_.front();
        entered_.pop_front();
        return call;
    }
    // Ends every call still held with a cancellation. What the workers then post finds its
    // model gone and only deletes files.
    void releaseAll() {
        const std::lock_guard lock(mutex_);
        for (const auto& call : all_) {
            call->release(std::make_exception_ptr(ArchivePipelineError::cancelled()));
        }
    }

    ArchiveInputSnapshot captureInputSnapshot(const std::vector<std::string>& sources,
                                              const std::string& manifest, Progress& progress,
                                              std::stop_token stop) override {
        writeFile(manifest, "{}\n");
        writeFile(manifest + ".registry.sqlite-wal", "");
        hold(sources, manifest, std::nullopt, progress, stop);
        return {manifest, sources.size(), 42, "ab", 1, 2};
    }
    PackReceipt pack(const std::vector<std::string>& sources, const std::string& archive,
                     Progress& progress, const ArchiveInputSnapshot& snapshot,
                     std::stop_token stop) override {
        hold(sources, archive, snapshot, progress, stop);
        return {archive, 3, 300, true, {Uuid::random(), archive, 120, "cafe"}};
    }
    UnpackReceipt unpack(const std::string& archive, const std::string& destination,
                         Progress& progress, std::stop_token stop) override {
        hold({}, archive, std::nullopt, progress, stop);
        return {destination + "/out", 2, 20, true};
    }

private:
    void hold(const std::vector<std::string>& sources, const std::string& path,
              std::optional<ArchiveInputSnapshot> snapshot, Progress& progress,
              std::stop_token stop) {
        auto call = std::shared_ptr<HeldCall>(
            new HeldCall{sources, path, std::move(snapshot), &progress, std::move(stop), {}, {}});
        auto outcome = call->outcome.get_future();
        {
            const std::lock_guard lock(mutex_);
            entered_.push_back(call);
            all_.push_back(call);
        }
        changed_.notify_all();
        if (const auto error = outcome.get()) {
            std::rethrow_exception(error);
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<HeldCall>> entered_;
    std::vector<std::shared_ptr<HeldCall>> all_;
};

// Runs the GUI thread's event loop until the condition holds, which happens as soon as the
// outcome a worker posted has been applied.
inline bool eventually(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, safetyLimitMs);
}

inline bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// A model over the fake backend, its temporary folder inside a fresh directory.
class ModelTest : public ::testing::Test {
protected:
    ~ModelTest() override { backend->releaseAll(); }

    // Adds the inputs and returns the capture they started, still held.
    std::shared_ptr<HeldCall> select(const std::vector<std::string>& inputs) {
        model->addInputs(inputs);
        return backend->next();
    }

    TempDir root;
    std::shared_ptr<FakeJobBackend> backend = std::make_shared<FakeJobBackend>();
    std::unique_ptr<DeliveryJobModel> model =
        std::make_unique<DeliveryJobModel>(backend, root.path());
};

}  // namespace test
}  // namespace tolvane
