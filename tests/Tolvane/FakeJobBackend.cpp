#include "FakeJobBackend.h"

#include <gtest/gtest.h>

#include <chrono>

#include "core/archive/ArchivePipelineError.h"
#include "support/TempDir.h"

namespace tolvane::test {

namespace {
// Only a safety net against a hung test; nothing waits this long when the code is right.
constexpr auto safetyLimit = std::chrono::seconds(60);
}  // namespace

void HeldCall::release(std::exception_ptr error) {
    const std::lock_guard lock(mutex_);
    if (!released_) {
        released_ = true;
        error_ = std::move(error);
    }
    changed_.notify_all();
}

std::exception_ptr HeldCall::awaitRelease() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return released_; });
    return error_;
}

FakeJobBackend::~FakeJobBackend() = default;

std::shared_ptr<HeldCall> FakeJobBackend::next() {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, safetyLimit, [this] { return !entered_.empty(); })) {
        ADD_FAILURE() << "no call reached the backend";
        return nullptr;
    }
    auto call = entered_.front();
    entered_.pop_front();
    return call;
}

std::size_t FakeJobBackend::waitingCalls() {
    const std::lock_guard lock(mutex_);
    return entered_.size();
}

void FakeJobBackend::releaseAll() {
    std::unique_lock lock(mutex_);
    for (const auto& call : all_) {
        call->release(std::make_exception_ptr(ArchivePipelineError::cancelled()));
    }
    changed_.wait_for(lock, safetyLimit, [this] { return running_ == 0; });
}

void FakeJobBackend::hold(const std::shared_ptr<HeldCall>& call) {
    {
        const std::lock_guard lock(mutex_);
        ++running_;
        entered_.push_back(call);
        all_.push_back(call);
    }
    changed_.notify_all();
    const auto error = call->awaitRelease();
    {
        const std::lock_guard lock(mutex_);
        --running_;
    }
    changed_.notify_all();
    if (error) {
        std::rethrow_exception(error);
    }
}

ArchiveInputSnapshot FakeJobBackend::captureInputSnapshot(const std::vector<std::string>& sources,
                                                          const std::string& manifestPath,
                                                          Progress& progress,
                                                          std::stop_token stop) {
    writeFile(manifestPath, "{}\n");
    writeFile(manifestPath + ".registry.sqlite-wal", "");
    auto call = std::make_shared<HeldCall>();
    call->kind = HeldCall::Kind::capture;
    call->sources = sources;
    call->path = manifestPath;
    call->progress = &progress;
    call->stop = std::move(stop);
    hold(call);
    return {manifestPath, sources.size(), 42, "ab", 1, 2};
}

PackReceipt FakeJobBackend::pack(const std::vector<std::string>& sources,
                                 const std::string& archivePath, Progress& progress,
                                 const ArchiveInputSnapshot& selectionSnapshot,
                                 std::stop_token stop) {
    auto call = std::make_shared<HeldCall>();
    call->kind = HeldCall::Kind::pack;
    call->sources = sources;
    call->path = archivePath;
    call->snapshot = selectionSnapshot;
    call->progress = &progress;
    call->stop = std::move(stop);
    hold(call);
    PackReceipt receipt;
    receipt.outputURL = archivePath;
    receipt.fileCount = 3;
    receipt.totalBytes = 300;
    receipt.verified = true;
    receipt.archive = {Uuid::random(), archivePath, 120, "cafe"};
    return receipt;
}

UnpackReceipt FakeJobBackend::unpack(const std::string& archivePath,
                                     const std::string& destinationRoot, Progress& progress,
                                     std::stop_token stop) {
    auto call = std::make_shared<HeldCall>();
    call->kind = HeldCall::Kind::unpack;
    call->path = archivePath;
    call->destination = destinationRoot;
    call->progress = &progress;
    call->stop = std::move(stop);
    hold(call);
    return {destinationRoot + "/out", 2, 20, true};
}

}  // namespace tolvane::test
