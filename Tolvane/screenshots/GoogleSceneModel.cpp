#include "Tolvane/screenshots/GoogleSceneModel.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include "Tolvane/model/JobBackend.h"
#include "core/common/Cancellation.h"
#include "core/drive/GoogleAuthCoordinator.h"

namespace tolvane::screenshots {

namespace {

// Signs in and restores the one sample account at once.
struct SampleProvider final : GoogleAuthProvider {
    explicit SampleProvider(GoogleIdentity identity) : identity(std::move(identity)) {}
    GoogleIdentity identity;
    std::optional<GoogleRestoredSession> restoreSession() override {
        return GoogleRestoredSession{identity, true};
    }
    GoogleIdentity signIn(std::stop_token) override { return identity; }
    void requestDriveScope(const GoogleIdentity&, std::stop_token) override {}
    void refreshSession(const GoogleIdentity&, std::stop_token) override {}
    void signOut() override {}
    void revokeConsent(std::stop_token) override {}
    void cancelAuthorization() noexcept override {}
};

// Packs by writing an empty file where the archive goes.
struct SampleBackend final : JobBackend {
    ArchiveInputSnapshot captureInputSnapshot(const std::vector<std::string>& sources,
                                              const std::string& manifest, Progress&,
                                              std::stop_token) override {
        return {manifest, sources.size(), 1, "ab", 1, 2};
    }
    PackReceipt pack(const std::vector<std::string>&, const std::string& archive, Progress&,
                     const ArchiveInputSnapshot&, std::stop_token) override {
        QFile file(QFile::decodeName(QByteArray::fromStdString(archive)));
        file.open(QIODevice::WriteOnly);
        return {archive, 3, 128'450'000, true, {Uuid::random(), archive, 128'450'000, "cafe"}};
    }
    UnpackReceipt unpack(const std::string&, const std::string& destination, Progress&,
                         std::stop_token) override {
        return {destination, 0, 0, true};
    }
};

QTemporaryDir& sampleRoot() {
    static QTemporaryDir root;
    return root;
}

}  // namespace

GoogleSceneModel::GoogleSceneModel(std::optional<std::string> email)
    : root_(QFile::encodeName(sampleRoot().path()).toStdString()) {
    auto provider = std::make_shared<SampleProvider>(GoogleIdentity{"sample", std::move(email)});
    GoogleConnectionModel::Operations operations{
        [this](const VerifiedArchive&, DriveLinkRole role, const GoogleIdentity&,
               const GoogleConnectionModel::ProgressHandler& progress, std::stop_token stop) {
            run(share, progress, stop);
            DriveShareResult shared = result;
            shared.role = role;
            return shared;
        },
        [this](const std::string&) {
            if (listFailure) {
                std::rethrow_exception(listFailure);
            }
            return pending;
        },
        [this](const Uuid&, const std::optional<std::string>&, const GoogleIdentity&,
               const GoogleConnectionModel::ProgressHandler& progress, std::stop_token stop) {
            run(resume, progress, stop);
            return result;
        },
        [this](const Uuid&, const GoogleIdentity&, std::stop_token stop) {
            if (holdLinkCheck) {
                run({std::nullopt, {}, true}, {}, stop);
            }
            if (linkFailure) {
                std::rethrow_exception(linkFailure);
            }
            return result.link;
        }};
    google_ = std::make_unique<GoogleConnectionModel>(
        std::make_shared<GoogleAuthCoordinator>(provider), std::move(operations));
    job_ = std::make_unique<DeliveryJobModel>(std::make_shared<SampleBackend>(), root_);
}

GoogleSceneModel::~GoogleSceneModel() {
    {
        const std::lock_guard lock(mutex_);
        ending_ = true;
    }
    ended_.notify_all();
    google_.reset();
    job_.reset();
}

void GoogleSceneModel::run(const Step& step, const GoogleConnectionModel::ProgressHandler& progress,
                           std::stop_token stop) {
    if (step.progress) {
        progress(*step.progress);
    }
    if (step.hold) {
        std::unique_lock lock(mutex_);
        if (step.ignoreStop) {
            ended_.wait(lock, [this] { return ending_; });
        } else {
            ended_.wait(lock, stop, [this] { return ending_; });
        }
        throw OperationCancelled();
    }
    if (step.failure) {
        std::rethrow_exception(step.failure);
    }
}

bool GoogleSceneModel::settle(const std::function<bool()>& condition) {
    const QDeadlineTimer deadline(5000);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    // Let the views apply the last change; a layout that grew tells its parent one round later.
    for (int round = 0; round < 8; ++round) {
        QCoreApplication::processEvents();
    }
    return true;
}

void GoogleSceneModel::connectAccount() {
    bool done = false;
    google_->restoreIfNeeded([&] { done = true; });
    settle([&] { return done; });
}

void GoogleSceneModel::packArchive(const std::string& name) {
    archivePath_ = root_ + "/" + name;
    job_->addInputs({root_ + "/sources/"});
    settle([&] { return job_->inputSnapshot().has_value(); });
    job_->startPacking(archivePath_);
    settle([&] { return job_->verifiedArchive().has_value(); });
}

}  // namespace tolvane::screenshots
