// The window's finished result: the result card with the volume eject, the volumes list that
// offers a volume as the destination, and the footer of a finished job.

#include <QLayout>
#include <QPointer>

#include <sys/stat.h>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/ExternalVolumeEjectError.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/ExternalVolumesView.h"
#include "Tolvane/ui/ResultCardView.h"
#include "Tolvane/ui/ResultFooter.h"

namespace tolvane {

void ContentView::installResultViews() {
    resultCard_ = new ResultCardView(*this, model_, googleModel_, externalVolumes_, resultPlace_);
    resultPlace_->layout()->addWidget(resultCard_);

    volumesView_ = new ExternalVolumesView(
        [this](const ExternalVolume& volume) { startJob(volume); }, volumesPlace_);
    volumesPlace_->layout()->addWidget(volumesView_);
    for (auto signal :
         {&DeliveryJobModel::phaseChanged, &DeliveryJobModel::isBusyChanged,
          &DeliveryJobModel::isCapturingInputSnapshotChanged,
          &DeliveryJobModel::inputSnapshotChanged, &DeliveryJobModel::inputModeChanged}) {
        connect(&model_, signal, this, &ContentView::updateVolumes);
    }
    connect(&googleModel_, &GoogleConnectionModel::hasActiveTransferChanged, this,
            &ContentView::updateVolumes);
    connect(&externalVolumes_, &ExternalVolumeStore::volumesChanged, this,
            &ContentView::updateVolumes);
    connect(&externalVolumes_, &ExternalVolumeStore::recentlyMountedIDChanged, this,
            &ContentView::updateVolumes);
    updateVolumes();

    resultFooter_ =
        new ResultFooter(*this, model_, googleModel_, externalVolumes_, finishedFooterPlace_);
    finishedFooterPlace_->layout()->addWidget(resultFooter_);
}

void ContentView::updateVolumes() {
    std::optional<std::uint64_t> sourceBytes;
    if (model_.inputSnapshot()) {
        sourceBytes = model_.inputSnapshot()->totalBytes;
    }
    volumesView_->setVolumes(externalVolumes_.volumes(), externalVolumes_.recentlyMountedID(),
                             sourceBytes, canStartPack());
}

std::optional<ExternalVolume> ContentView::completedExternalVolume() const {
    if (model_.phase() != DeliveryJobModel::Phase::complete || !model_.verifiedArchive() ||
        !model_.outputURL()) {
        return std::nullopt;
    }
    return externalVolumes_.verifiedArchiveVolume(*model_.outputURL());
}

void ContentView::safelyEject(const std::string& archiveURL) {
    if (googleModel_.hasActiveTransfer() || externalVolumes_.isEjecting()) {
        return;
    }
    const std::optional<ExternalVolume> volume = completedExternalVolume();
    if (!volume) {
        return;
    }
    setEjectionMessages(ejectedVolumeName_, std::nullopt);
    // The store outlives the window; what it answers after the window closed goes nowhere.
    QPointer<ContentView> window(this);
    externalVolumes_.ejectVerifiedArchive(
        archiveURL, [window, archiveURL, name = volume->name](std::exception_ptr error) {
            if (!window || window->model_.outputURL() != archiveURL ||
                window->model_.phase() != DeliveryJobModel::Phase::complete) {
                return;
            }
            if (!error) {
                window->setEjectionMessages(name, std::nullopt);
                return;
            }
            try {
                std::rethrow_exception(error);
            } catch (const ExternalVolumeEjectError& refusal) {
                // A second press while the first eject was still starting: that eject reports.
                if (refusal.code() == ExternalVolumeEjectError::Code::alreadyEjecting) {
                    return;
                }
            } catch (...) {
            }
            window->setEjectionMessages(
                window->ejectedVolumeName_,
                QStringLiteral("장치를 제거하지 못했습니다. ") + userMessage(error));
        });
}

bool ContentView::canOfferShare() const {
    const auto& output = model_.outputURL();
    struct stat info {};
    const bool exists = output && ::stat(output->c_str(), &info) == 0;
    return ResultFooter::canOfferShare(output, exists, ejectedVolumeName_.has_value(),
                                       googleModel_.transferState());
}

void ContentView::startNewJobFromResult() {
    setEjectionMessages(std::nullopt, std::nullopt);
    model_.startNewJob();
}

void ContentView::setEjectionMessages(std::optional<QString> ejectedVolumeName,
                                      std::optional<QString> ejectionError) {
    ejectedVolumeName_ = std::move(ejectedVolumeName);
    ejectionError_ = std::move(ejectionError);
    resultCard_->refresh();
    resultFooter_->refresh();
}

}  // namespace tolvane
