#pragma once

#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Tolvane/model/ExternalVolume.h"
#include "Tolvane/model/SecurityScopedAccessLease.h"
#include "Tolvane/ui/ArchiveNameSheet.h"
#include "core/common/Uuid.h"
#include "core/drive/DriveTypes.h"
#include "core/drive/GoogleAuth.h"

class QLabel;
class QStackedWidget;
class QHBoxLayout;

namespace tolvane {

class ElidedLabel;
class InputListView;
class ReducedMotion;
class WorkFooterView;
class DeliveryJobModel;
class DropZoneView;
class ExternalVolumeStore;
class ExternalVolumesView;
class GoogleConnectionModel;
class ResultCardView;
class ResultFooter;
class VeskaButton;

// The content of every main window: the header with the Drive button, the workspace card that
// takes dropped files, the recovery list, the volumes list with the destination problem under
// it, and the footer; and the sheets and the Drive confirmation that open over them. It reads and
// drives the three shared models; what it keeps itself (the drop highlight, the share roles, the
// messages, the folder waiting for its archive name) lives as long as the window.
//
// The workspace's input list and result card, the volumes list and the footer's contents are
// places that their own views fill: inputListPlace(), resultPlace(), volumesPlace(), footer().
class ContentView final : public QWidget {
    Q_OBJECT

public:
    // A chosen save folder waiting for its archive name. Each folder choice makes a new one;
    // access to the folder lasts as long as the lease does.
    struct PendingArchiveSave {
        Uuid id;
        std::string folder;
        std::optional<ExternalVolume> preferredVolume;
        std::shared_ptr<SecurityScopedAccessLease> accessLease;
    };

    // How the header's Drive button looks for an account state.
    struct DriveButtonLook {
        QString text;
        bool connected;
    };

    // A folder panel: its title, its confirm button and where it opens (empty: the panel's own
    // choice).
    struct FolderPanel {
        QString title;
        QString prompt;
        std::string startingFolder;
    };

    // Every contact with the user's file system that the job start makes, replaceable by tests.
    // The panels answer through the callback only when the user confirmed a choice.
    struct Panels {
        // The files-and-folders panel for inputs: the chosen paths in the panel's order.
        std::function<void(QWidget* parent, std::function<void(std::vector<std::string>)> chosen)>
            chooseInputs;
        // A folder panel with one selection.
        std::function<void(QWidget* parent, const FolderPanel& panel,
                           std::function<void(std::string)> chosen)>
            chooseFolder;
        // The UUID of the file system holding a folder; nothing when it has none or cannot be
        // read.
        std::function<std::optional<std::string>(const std::string& folder)> folderVolumeUUID;
    };

    static constexpr int windowWidth = 680;
    static constexpr int windowHeight = 580;

    ContentView(DeliveryJobModel& model, GoogleConnectionModel& googleModel,
                ExternalVolumeStore& externalVolumes, QWidget* parent = nullptr);
    ~ContentView() override;

    static DriveButtonLook driveButtonLook(const GoogleAuthState& state);
    static QString shareConfirmationTitle(DriveLinkRole role);
    static QString shareConfirmationMessage(const std::optional<std::string>& outputURL,
                                            const GoogleAuthState& state, DriveLinkRole role);

    // Whether a pack may start now from a destination: nothing runs, no result is shown, and the
    // selection is files with a finished snapshot.
    bool canStartPack() const;

    // Asks for the destination of the selection and starts the job: an unpack into a folder, or,
    // for files, the folder and then the name sheet. A volume picked in the volumes list is
    // checked first and becomes the panel's starting place. Nothing happens while a Drive
    // transfer runs.
    void startJob(std::optional<ExternalVolume> preferredVolume);
    // The name proposed for a new archive of these inputs, with ".zip".
    static QString archiveNameProposal(const std::vector<std::string>& inputs);
    // Whether a volume picked in the list can take the work: writable, identified, and more free
    // space than the working reserve.
    static bool volumeAllowsWork(const ExternalVolume& volume);
    void setPanels(Panels panels);

    // A drop of URLs on the workspace card. Refused (false, nothing changes) while a job, a
    // Drive transfer or an eject runs; otherwise the local files among them join the selection
    // (folders written as folders, names as the bytes on disk) and it is handled when there was at
    // least one. A file whose name cannot be taken exactly is left out, and an alert says which.
    bool dropURLs(const QList<QUrl>& urls);
    // The alert naming the files left out of the last drop or panel choice; none once closed.
    QMessageBox* inputRefusal() const { return inputRefusal_; }
    bool dropTargeted() const noexcept { return dropTargeted_; }
    void setDropTargeted(bool targeted);

    // The link role the footer offers and the role the confirmation is about.
    DriveLinkRole selectedShareRole() const noexcept { return selectedShareRole_; }
    void setSelectedShareRole(DriveLinkRole role) { selectedShareRole_ = role; }
    DriveLinkRole confirmedShareRole() const noexcept { return confirmedShareRole_; }
    // The footer's link button while connected: asks before uploading with the selected role.
    void confirmDriveShare();
    QMessageBox* shareConfirmation() const { return shareConfirmation_; }

    void showGoogleConnection();
    bool showingGoogleConnection() const { return googleConnection_ != nullptr; }

    // Opens the name sheet for the folder (a new value replaces one still open); nothing closes
    // it. The value, and with it the folder's access, is dropped when the sheet is cancelled.
    void setPendingArchiveSave(std::optional<PendingArchiveSave> pending);
    const std::optional<PendingArchiveSave>& pendingArchiveSave() const noexcept {
        return pendingArchiveSave_;
    }
    ArchiveNameSheet* nameSheet() const { return nameSheet_; }

    // The last destination-volume problem, shown under the volumes list.
    void setExternalVolumeError(std::optional<QString> text);
    const std::optional<QString>& ejectedVolumeName() const noexcept { return ejectedVolumeName_; }
    const std::optional<QString>& ejectionError() const noexcept { return ejectionError_; }

    // The external volume holding the finished, verified archive; nothing for an unpack, an
    // archive elsewhere or one that is gone.
    std::optional<ExternalVolume> completedExternalVolume() const;
    // Ejects that volume. The outcome is shown only while the same result is still on screen.
    void safelyEject(const std::string& archiveURL);
    // Whether the finished archive may be offered for a Drive link.
    bool canOfferShare() const;
    // The footer's new job from a result: its messages go with it.
    void startNewJobFromResult();

    ResultCardView* resultCard() const { return resultCard_; }
    ExternalVolumesView* volumesView() const { return volumesView_; }
    ResultFooter* resultFooter() const { return resultFooter_; }
    QWidget* resultPlace() const { return resultPlace_; }
    QWidget* inputListPlace() const { return inputListPlace_; }
    QWidget* volumesPlace() const { return volumesPlace_; }
    QWidget* footer() const { return footer_; }
    InputListView* inputList() const { return inputList_; }
    WorkFooterView* workFooter() const { return workFooter_; }
    // The footer's place for a finished job (new job, link role, "링크 만들기"), shown instead of
    // the work footer once the job is complete; its view fills it.
    QWidget* finishedFooterPlace() const { return finishedFooterPlace_; }
    const std::optional<QString>& externalVolumeError() const noexcept {
        return externalVolumeError_;
    }
    DropZoneView* dropZone() const { return dropZone_; }
    VeskaButton* driveButton() const { return driveButton_; }
    // The workspace content now in front.
    QWidget* workspaceContent() const;

private:
    QWidget* makeHeader();
    void updateHeader();
    void updateWorkspace();
    void archiveChanged();
    void share();
    // Puts the result card, the volumes list and the finished footer in their places.
    void installResultViews();
    void updateVolumes();
    void setEjectionMessages(std::optional<QString> ejectedVolumeName,
                             std::optional<QString> ejectionError);
    // Filled by the job start: the file panel for inputs, the archive name and packing.
    void chooseInputs();
    // Whether new inputs may join the selection now, by a drop or the panel (a drop is refused
    // also while the job model is busy).
    bool acceptsInputs() const;
    // Adds the inputs taken and names those refused; whether there was any of either.
    bool addInputs(const std::vector<std::string>& inputs, const QStringList& refused);
    void showInputRefusal(const QStringList& names);
    QString defaultArchiveName() const;
    // Takes the pending save by value: the sheet's copy is cleared on the way.
    void beginPacking(const QString& name, PendingArchiveSave selection);
    void startPackingInto(const std::string& archiveURL, const PendingArchiveSave& selection);
    // The name is kept for another try: the sheet shows again with what the user typed.
    void keepNameSheet(const QString& name, PendingArchiveSave selection);
    bool canPackNow() const;
    void phaseChanged();

    DeliveryJobModel& model_;
    GoogleConnectionModel& googleModel_;
    ExternalVolumeStore& externalVolumes_;

    bool dropTargeted_ = false;
    DriveLinkRole selectedShareRole_ = DriveLinkRole::reader;
    DriveLinkRole confirmedShareRole_ = DriveLinkRole::reader;
    std::optional<QString> externalVolumeError_;
    std::optional<QString> ejectedVolumeName_;
    std::optional<QString> ejectionError_;
    std::optional<PendingArchiveSave> pendingArchiveSave_;
    // The job of the archive last seen, to tell a new result from the one already shown.
    std::optional<Uuid> shownArchiveJob_;

    VeskaButton* driveButton_ = nullptr;
    QWidget* driveDot_ = nullptr;
    QLabel* driveLabel_ = nullptr;
    QWidget* card_ = nullptr;
    QStackedWidget* workspace_ = nullptr;
    QWidget* resultPlace_ = nullptr;
    QWidget* inputListPlace_ = nullptr;
    DropZoneView* dropZone_ = nullptr;
    QWidget* volumesPlace_ = nullptr;
    ElidedLabel* volumeErrorLabel_ = nullptr;
    QWidget* footer_ = nullptr;
    ResultCardView* resultCard_ = nullptr;
    ExternalVolumesView* volumesView_ = nullptr;
    ResultFooter* resultFooter_ = nullptr;
    QPointer<QWidget> googleConnection_;
    QPointer<ArchiveNameSheet> nameSheet_;
    QPointer<QMessageBox> shareConfirmation_;
    QPointer<QMessageBox> inputRefusal_;
    Panels panels_;
    InputListView* inputList_ = nullptr;
    WorkFooterView* workFooter_ = nullptr;
    QWidget* finishedFooterPlace_ = nullptr;
    ReducedMotion* reducedMotion_ = nullptr;
    QWidget* shownPage_ = nullptr;
};

}  // namespace tolvane
