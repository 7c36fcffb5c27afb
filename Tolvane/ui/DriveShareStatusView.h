#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>

#include <optional>

#include "Tolvane/model/GoogleConnectionModel.h"
#include "core/archive/ArchiveValues.h"
#include "core/common/Uuid.h"
#include "core/drive/DriveTypes.h"

class QLabel;

namespace tolvane {

class DeliveryJobModel;
class DisclosureButton;
class ThemedLabel;
class VeskaBusyIndicator;
class VeskaButton;
class VeskaProgressBar;

// What the share panel shows for the archive of the finished job and the model's transfer.
struct DriveShareStatusContent {
    enum class Kind { none, uploading, cancelling, paused, failed, shared };

    Kind kind = Kind::none;
    QString stage;                   // uploading: what the transfer does now
    std::optional<double> fraction;  // uploading: the bar; none draws the busy indicator
    QString transferred;             // with the bar: "<done> / <total>"
    QString message;                 // failed: the model's message
    QString roleLine;                // shared: who may do what with the link

    // Only a share state of exactly this archive (path and job) shows anything.
    static DriveShareStatusContent of(const std::optional<VerifiedArchive>& archive,
                                      const GoogleConnectionModel::TransferState& state,
                                      const std::optional<DriveTransferProgress>& progress);

    friend bool operator==(const DriveShareStatusContent&,
                           const DriveShareStatusContent&) = default;
};

// The Drive panel at the end of a finished job's result card: the upload of that job's archive
// with its stage and byte counts, its cancellation, a pause or failure with a way to send it
// again, and the shared link, checked again with Drive before it is opened or copied. It hides
// itself while the model's transfer does not concern the shown archive.
class DriveShareStatusView final : public QWidget {
    Q_OBJECT

public:
    DriveShareStatusView(DeliveryJobModel& job, GoogleConnectionModel& google,
                         QWidget* parent = nullptr);

    // How often a paused or failed panel looks again for a moved or deleted archive file.
    static constexpr int fileCheckMilliseconds = 1000;

    // Looks again whether the archive file is there (the poll while "다시 시도" or "이어 보내기"
    // is shown; the window may call it when it regains the focus).
    void recheckArchiveFile();

private:
    void refresh();
    void retry();
    void useLink(bool open);
    void archiveChanged();
    bool archiveFileExists() const;

    DeliveryJobModel& job_;
    GoogleConnectionModel& google_;
    // View state: survives redraws, reset when another archive is shown.
    std::optional<QString> linkError_;
    bool copied_ = false;
    bool checkingLink_ = false;
    std::optional<Uuid> shownJobID_;
    QTimer fileCheck_;

    QWidget* uploadCard_ = nullptr;
    QLabel* stage_ = nullptr;
    VeskaProgressBar* bar_ = nullptr;
    ThemedLabel* transferred_ = nullptr;
    VeskaBusyIndicator* uploadBusy_ = nullptr;
    QWidget* cancelling_ = nullptr;
    QWidget* paused_ = nullptr;
    VeskaButton* resume_ = nullptr;
    QWidget* failed_ = nullptr;
    DisclosureButton* detailToggle_ = nullptr;
    ThemedLabel* message_ = nullptr;
    VeskaButton* retry_ = nullptr;
    QWidget* shared_ = nullptr;
    QWidget* linkButtons_ = nullptr;
    VeskaButton* copy_ = nullptr;
    VeskaBusyIndicator* linkBusy_ = nullptr;
    ThemedLabel* linkErrorLine_ = nullptr;
    ThemedLabel* roleLine_ = nullptr;
};

}  // namespace tolvane
