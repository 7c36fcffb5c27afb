#include "platform/volumes/MountWatcher.h"

#include <fcntl.h>

#include <system_error>
#include <utility>
#include <vector>

#include "core/common/PathText.h"
#include "core/common/Posix.h"

namespace tolvane {

MountWatcher::MountWatcher(VolumeSystemPaths paths, Filter filter, QObject* parent)
    : VolumeNotificationCenter(parent),
      paths_(std::move(paths)),
      filter_(filter ? std::move(filter) : Filter(&MountedVolumes::isCandidate)) {
    table_ = posix::tryOpenAt(AT_FDCWD, paths_.mountTable, O_RDONLY).fd;
    if (!table_) {
        return;
    }
    watched_ = readWatched();
    notifier_ = std::make_unique<QSocketNotifier>(table_.get(), QSocketNotifier::Exception);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &MountWatcher::mountTableChanged);
    connect(&labelWatcher_, &QFileSystemWatcher::directoryChanged, this,
            &MountWatcher::labelsChanged);
    watchLabelFolder();
}

MountWatcher::~MountWatcher() = default;

void MountWatcher::watchLabelFolder() {
    // The by-label folder disappears with the last labelled disk and comes back with the next
    // one, so its parent is watched as well to notice its return.
    const QString folder = QString::fromStdString(paths_.diskByLabel);
    const QString parent =
        QString::fromStdString(PathText::deletingLastComponent(paths_.diskByLabel));
    for (const QString& path : {folder, parent}) {
        if (!labelWatcher_.directories().contains(path)) {
            labelWatcher_.addPath(path);  // fails quietly while the folder is missing
        }
    }
}

std::map<std::uint64_t, MountWatcher::Watched> MountWatcher::readWatched() const {
    std::vector<MountEntry> table;
    try {
        table = MountTable::read(paths_.mountTable);
    } catch (const std::system_error&) {
        // Unreadable for a moment: keep what was known rather than report every volume gone.
        return watched_;
    }
    const auto labels = MountedVolumes::linksByDevice(paths_.diskByLabel);
    std::map<std::uint64_t, Watched> watched;
    for (const MountEntry& entry : table) {
        if (!filter_(entry)) {
            continue;
        }
        Watched item{
            PathText::standardized(entry.mountPoint), MountedVolumes::devicePath(entry.source), {}};
        if (const auto label = labels.find(item.device); label != labels.end()) {
            item.label = label->second;
        }
        watched.emplace(entry.mountId, std::move(item));
    }
    return watched;
}

void MountWatcher::mountTableChanged() {
    auto previous = std::exchange(watched_, readWatched());
    std::vector<QString> gone;
    std::vector<QString> came;
    for (const auto& [id, item] : previous) {
        if (!watched_.contains(id)) {
            gone.push_back(QString::fromStdString(item.mountPoint));
        }
    }
    for (const auto& [id, item] : watched_) {
        if (!previous.contains(id)) {
            came.push_back(QString::fromStdString(item.mountPoint));
        }
    }
    for (const QString& mountPoint : gone) {
        emit didUnmount(mountPoint);
    }
    for (const QString& mountPoint : came) {
        emit didMount(mountPoint);
    }
}

void MountWatcher::labelsChanged() {
    watchLabelFolder();
    const auto labels = MountedVolumes::linksByDevice(paths_.diskByLabel);
    std::vector<QString> renamed;
    for (auto& [id, item] : watched_) {
        const auto label = labels.find(item.device);
        std::string now = label != labels.end() ? label->second : std::string();
        if (now != item.label) {
            item.label = std::move(now);
            renamed.push_back(QString::fromStdString(item.mountPoint));
        }
    }
    for (const QString& mountPoint : renamed) {
        emit didRenameVolume(mountPoint);
    }
}

}  // namespace tolvane
