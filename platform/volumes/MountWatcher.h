#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "core/common/MountTable.h"
#include "core/common/UniqueFd.h"
#include "platform/volumes/MountedVolumes.h"

namespace tolvane {

// Where the three volume events are posted: a volume was mounted, unmounted or renamed, each
// with its mount point. Used on the GUI thread; tests post the events themselves.
class VolumeNotificationCenter : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    void didMount(const QString& mountPoint);
    void didUnmount(const QString& mountPoint);
    void didRenameVolume(const QString& mountPoint);
};

// The system's volume events: the kernel marks the mount table readable-with-priority on every
// mount change anywhere, so each wake-up re-reads the table and compares it with the last one,
// giving one event per mount that came or went. A label written anew shows as a changed link
// in the by-label folder.
class MountWatcher final : public VolumeNotificationCenter {
    Q_OBJECT

public:
    using Filter = std::function<bool(const MountEntry&)>;

    // Watches the mounts the filter accepts (by default the external-volume candidates). When
    // the mount table cannot be opened, the watcher stays silent.
    explicit MountWatcher(VolumeSystemPaths paths = {}, Filter filter = {},
                          QObject* parent = nullptr);
    ~MountWatcher() override;

    bool isWatching() const noexcept { return notifier_ != nullptr; }

private:
    struct Watched {
        std::string mountPoint;
        std::string device;
        std::string label;
    };

    std::map<std::uint64_t, Watched> readWatched() const;
    void mountTableChanged();
    void labelsChanged();
    void watchLabelFolder();

    VolumeSystemPaths paths_;
    Filter filter_;
    UniqueFd table_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QFileSystemWatcher labelWatcher_;
    std::map<std::uint64_t, Watched> watched_;  // by mount id, new for every mount
};

}  // namespace tolvane
