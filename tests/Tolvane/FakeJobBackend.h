#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "Tolvane/model/JobBackend.h"
#include "core/archive/ArchiveValues.h"
#include "core/common/Progress.h"

namespace tolvane::test {

// One call into the fake backend. The worker thread that made it waits inside the call until the
// test releases it; meanwhile the test reads what the model passed and writes to its progress.
class HeldCall {
public:
    enum class Kind { capture, pack, unpack };

    Kind kind = Kind::capture;
    std::vector<std::string> sources;
    std::string path;         // manifest path, archive to create, or archive to unpack
    std::string destination;  // unpack only
    std::optional<ArchiveInputSnapshot> snapshot;  // pack only
    Progress* progress = nullptr;
    std::stop_token stop;

    // Lets the call return its default result, or throw the given error.
    void release(std::exception_ptr error = nullptr);

    // Used by the fake on the worker thread.
    std::exception_ptr awaitRelease();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    std::exception_ptr error_;
};

// A JobBackend whose every call blocks until the test releases it. A capture first writes a
// manifest and a registry companion where the real pipeline would, so that the tests can see
// who deletes them.
class FakeJobBackend final : public JobBackend {
public:
    ~FakeJobBackend() override;

    // The next call that entered the backend, waiting for one (a generous safety limit fails
    // the test instead of hanging it).
    std::shared_ptr<HeldCall> next();
    // Calls that entered and were not taken with next().
    std::size_t waitingCalls();
    // Releases every call still held, with a cancellation, and waits until each has returned.
    void releaseAll();

    ArchiveInputSnapshot captureInputSnapshot(const std::vector<std::string>& sources,
                                              const std::string& manifestPath, Progress& progress,
                                              std::stop_token stop) override;
    PackReceipt pack(const std::vector<std::string>& sources, const std::string& archivePath,
                     Progress& progress, const ArchiveInputSnapshot& selectionSnapshot,
                     std::stop_token stop) override;
    UnpackReceipt unpack(const std::string& archivePath, const std::string& destinationRoot,
                         Progress& progress, std::stop_token stop) override;

private:
    void hold(const std::shared_ptr<HeldCall>& call);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<HeldCall>> entered_;
    std::vector<std::shared_ptr<HeldCall>> all_;
    int running_ = 0;
};

}  // namespace tolvane::test
