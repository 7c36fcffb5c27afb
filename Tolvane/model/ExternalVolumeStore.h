#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Tolvane/model/BackgroundWork.h"
#include "Tolvane/model/ExternalVolume.h"
#include "platform/volumes/MountWatcher.h"

namespace tolvane {

// The mounted external volumes offered as destinations, kept current by the volume events, with
// the volume that was just attached pointed out, and the eject of the volume holding an archive.
//
// It lives on the GUI thread. Scans and ejects run on the application's worker pool and their
// outcomes are applied back on the GUI thread. A burst of volume events costs at most two scans.
// Every property signals only when its value changed.
class ExternalVolumeStore final : public QObject {
    Q_OBJECT

public:
    // Every contact with the system. An empty hook takes the system's default.
    struct Hooks {
        // Lists the external volumes, in the system's order. Runs on a worker thread.
        std::function<std::vector<ExternalVolume>()> scan;
        // A volume has just been attached. GUI thread. The default does nothing: asking for the
        // user's attention needs the window, so the application passes that hook.
        std::function<void()> onMount;
        // Whether a file exists and on which volume. GUI thread; a light check of one path.
        std::function<ArchiveVolumeState(const std::string& fileURL)> archiveState;
        // Unmounts and ejects the volume at the mount point after checking that it still has the
        // expected UUID. Runs on a worker thread; throws what the system answered.
        std::function<void(const std::string& mountPoint, const std::string& expectedUUID)> eject;
    };

    // The center's events are no longer heard once either of the two is gone.
    explicit ExternalVolumeStore(VolumeNotificationCenter& center, Hooks hooks = {},
                                 QObject* parent = nullptr);
    ~ExternalVolumeStore() override;

    const std::vector<ExternalVolume>& volumes() const noexcept { return volumes_; }
    const std::optional<std::string>& recentlyMountedID() const noexcept {
        return recentlyMountedID_;
    }
    bool isEjecting() const noexcept { return isEjecting_; }

    // Rescans, then hands `done` the first listed volume with the id (nothing when none). GUI
    // thread; not called when the store is gone by then.
    void currentVolume(const std::string& id,
                       std::function<void(std::optional<ExternalVolume>)> done);
    // The listed volume holding the archive, from the latest scan; nothing when the file is gone.
    std::optional<ExternalVolume> verifiedArchiveVolume(const std::string& archiveURL) const;
    // Ejects the volume holding the archive and hands `done` nullptr, or the error: an
    // ExternalVolumeEjectError, or the system's refusal unchanged. GUI thread; not called when
    // the store is gone by then. isEjecting() holds from this call until just before `done`.
    void ejectVerifiedArchive(const std::string& archiveURL,
                              std::function<void(std::exception_ptr)> done);

    // Sorted by name as people read names: digits by their value, case ignored; equal names keep
    // their order.
    static std::vector<ExternalVolume> sortedByName(std::vector<ExternalVolume> volumes);

    // The defaults over the given system paths, the given D-Bus connection for UDisks2 (the
    // system bus in the application).
    static Hooks systemHooks(const VolumeSystemPaths& paths, const QDBusConnection& bus);
    // The volume facts the system scan reports, as the store lists them.
    static ExternalVolume externalVolume(const MountedVolume& mounted);

signals:
    void volumesChanged();
    void recentlyMountedIDChanged();
    void isEjectingChanged();

private:
    // Rescans, then runs `then`. One scan runs at a time: requests made meanwhile wait for the
    // next scan, which serves them all, so the continuations run in the order of their requests.
    void refresh(std::function<void()> then = {});
    void startScan();
    void applyScan(std::vector<ExternalVolume> volumes);
    void handleMount(const QString& mountPoint);
    void setRecentlyMountedID(std::optional<std::string> id);
    void setEjecting(bool ejecting);

    Hooks hooks_;
    std::vector<ExternalVolume> volumes_;
    std::optional<std::string> recentlyMountedID_;
    bool isEjecting_ = false;
    bool scanning_ = false;
    std::vector<std::function<void()>> waiting_;  // continuations for the next scan
};

}  // namespace tolvane
