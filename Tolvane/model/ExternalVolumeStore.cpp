#include "Tolvane/model/ExternalVolumeStore.h"

#include <QCollator>
#include <QLocale>

#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <system_error>
#include <utility>

#include "Tolvane/model/ExternalVolumeEjectError.h"
#include "core/common/PathText.h"
#include "platform/volumes/MountedVolumes.h"
#include "platform/volumes/UDisks2Ejector.h"
#include "platform/volumes/UDisks2Types.h"

namespace tolvane {

ExternalVolumeStore::ExternalVolumeStore(VolumeNotificationCenter& center, Hooks hooks,
                                         QObject* parent)
    : QObject(parent), hooks_(std::move(hooks)) {
    if (!hooks_.scan || !hooks_.onMount || !hooks_.archiveState || !hooks_.eject) {
        Hooks defaults = systemHooks(VolumeSystemPaths{}, QDBusConnection::systemBus());
        if (!hooks_.scan) {
            hooks_.scan = std::move(defaults.scan);
        }
        if (!hooks_.onMount) {
            hooks_.onMount = std::move(defaults.onMount);
        }
        if (!hooks_.archiveState) {
            hooks_.archiveState = std::move(defaults.archiveState);
        }
        if (!hooks_.eject) {
            hooks_.eject = std::move(defaults.eject);
        }
    }
    refresh();
    connect(&center, &VolumeNotificationCenter::didMount, this, &ExternalVolumeStore::handleMount);
    connect(&center, &VolumeNotificationCenter::didUnmount, this, [this] { refresh(); });
    connect(&center, &VolumeNotificationCenter::didRenameVolume, this, [this] { refresh(); });
}

ExternalVolumeStore::~ExternalVolumeStore() = default;

std::vector<ExternalVolume> ExternalVolumeStore::sortedByName(std::vector<ExternalVolume> volumes) {
    // The C locale has no collation rules (and Qt then ignores the numeric mode), so names are
    // compared by the language-neutral rules instead.
    QLocale locale;
    if (locale.language() == QLocale::C) {
        locale = QLocale(QLocale::English);
    }
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(volumes.begin(), volumes.end(),
                     [&collator](const ExternalVolume& a, const ExternalVolume& b) {
                         return collator.compare(a.name, b.name) < 0;
                     });
    return volumes;
}

void ExternalVolumeStore::refresh(std::function<void()> then) {
    waiting_.push_back(std::move(then));
    if (!scanning_) {
        startScan();
    }
}

void ExternalVolumeStore::startScan() {
    scanning_ = true;
    runInBackground(
        this, [scan = hooks_.scan] { return sortedByName(scan()); },
        [served = std::exchange(waiting_, {})](ExternalVolumeStore* store,
                                               WorkOutcome<std::vector<ExternalVolume>> outcome) {
            if (store == nullptr) {
                return;
            }
            store->scanning_ = false;
            // A scan that failed found nothing the store could offer.
            store->applyScan(std::move(outcome.value).value_or(std::vector<ExternalVolume>{}));
            for (const auto& then : served) {
                if (then) {
                    then();
                }
            }
            if (!store->scanning_ && !store->waiting_.empty()) {
                store->startScan();
            }
        });
}

void ExternalVolumeStore::applyScan(std::vector<ExternalVolume> volumes) {
    if (volumes != volumes_) {
        volumes_ = std::move(volumes);
        emit volumesChanged();
    }
    if (recentlyMountedID_ &&
        std::none_of(volumes_.begin(), volumes_.end(), [this](const ExternalVolume& volume) {
            return volume.id() == *recentlyMountedID_;
        })) {
        setRecentlyMountedID(std::nullopt);
    }
}

void ExternalVolumeStore::handleMount(const QString& mountPoint) {
    std::set<std::string> before;
    for (const ExternalVolume& volume : volumes_) {
        before.insert(volume.id());
    }
    refresh([this, before = std::move(before),
             url = PathText::standardized(mountPoint.toStdString())] {
        const auto volume = std::find_if(volumes_.begin(), volumes_.end(),
                                         [&url](const ExternalVolume& v) { return v.url == url; });
        // A volume the scan does not keep (internal, or not where removable media go) and one
        // already listed under the same id are no news.
        if (url.empty() || volume == volumes_.end() || before.contains(volume->id())) {
            return;
        }
        setRecentlyMountedID(volume->id());
        hooks_.onMount();
    });
}

void ExternalVolumeStore::currentVolume(const std::string& id,
                                        std::function<void(std::optional<ExternalVolume>)> done) {
    refresh([this, id, done = std::move(done)] {
        const auto volume = std::find_if(volumes_.begin(), volumes_.end(),
                                         [&id](const ExternalVolume& v) { return v.id() == id; });
        done(volume == volumes_.end() ? std::nullopt : std::optional(*volume));
    });
}

std::optional<ExternalVolume> ExternalVolumeStore::verifiedArchiveVolume(
    const std::string& archiveURL) const {
    const ArchiveVolumeState state = hooks_.archiveState(archiveURL);
    if (!state.exists) {
        return std::nullopt;
    }
    for (const ExternalVolume& volume : volumes_) {
        if (volume.containsFileURL(archiveURL, state.volumeUUID)) {
            return volume;
        }
    }
    return std::nullopt;
}

void ExternalVolumeStore::ejectVerifiedArchive(const std::string& archiveURL,
                                               std::function<void(std::exception_ptr)> done) {
    using Code = ExternalVolumeEjectError::Code;
    if (isEjecting_) {
        done(std::make_exception_ptr(ExternalVolumeEjectError(Code::alreadyEjecting)));
        return;
    }
    // Ejecting from the moment it is asked: the rescan before the eject runs in the background,
    // and meanwhile nothing may start on the volume (a Drive upload of its archive, a new job)
    // nor a second eject.
    setEjecting(true);
    refresh([this, archiveURL, done = std::move(done)]() mutable {
        const auto volume = verifiedArchiveVolume(archiveURL);
        if (!volume || !volume->uuid) {
            setEjecting(false);
            done(std::make_exception_ptr(ExternalVolumeEjectError(Code::archiveUnavailable)));
            return;
        }
        runInBackground(
            this,
            [eject = hooks_.eject, url = volume->url, uuid = *volume->uuid] {
                eject(url, uuid);
                return true;
            },
            [done = std::move(done)](ExternalVolumeStore* store, WorkOutcome<bool> outcome) {
                if (store == nullptr) {
                    return;
                }
                if (outcome.error) {
                    store->setEjecting(false);
                    done(outcome.error);
                    return;
                }
                store->refresh([store, done] {
                    store->setEjecting(false);
                    done(nullptr);
                });
            });
    });
}

void ExternalVolumeStore::setRecentlyMountedID(std::optional<std::string> id) {
    if (id != recentlyMountedID_) {
        recentlyMountedID_ = std::move(id);
        emit recentlyMountedIDChanged();
    }
}

void ExternalVolumeStore::setEjecting(bool ejecting) {
    if (ejecting != isEjecting_) {
        isEjecting_ = ejecting;
        emit isEjectingChanged();
    }
}

ExternalVolume ExternalVolumeStore::externalVolume(const MountedVolume& mounted) {
    ExternalVolume volume;
    volume.url = mounted.mountPoint;
    volume.name = QString::fromStdString(mounted.name);
    volume.uuid = mounted.uuid;
    volume.isReadOnly = mounted.isReadOnly;
    if (mounted.policy) {
        volume.fileSystem = mounted.policy->fileSystem;
        volume.maxSingleFileBytes = mounted.policy->maximumFileBytes;
        volume.availableBytes = mounted.policy->availableBytes;
    }
    // A reported free space of 0 is as good as none: it offers no room to work in.
    if (!volume.availableBytes && mounted.availableCapacity.value_or(0) >= 1) {
        volume.availableBytes = mounted.availableCapacity;
    }
    return volume;
}

ExternalVolumeStore::Hooks ExternalVolumeStore::systemHooks(const VolumeSystemPaths& paths,
                                                            const QDBusConnection& bus) {
    Hooks hooks;
    hooks.scan = [paths, bus] {
        std::vector<ExternalVolume> volumes;
        const auto hints = [&bus] { return UDisks2::systemDiskHints(bus); };
        for (const MountedVolume& mounted : MountedVolumes::scan(paths, hints)) {
            volumes.push_back(externalVolume(mounted));
        }
        return volumes;
    };
    hooks.onMount = [] {};
    hooks.archiveState = [paths](const std::string& fileURL) {
        ArchiveVolumeState state;
        struct stat status {};
        state.exists = ::stat(fileURL.c_str(), &status) == 0;
        try {
            state.volumeUUID = MountedVolumes::volumeUUID(fileURL, paths);
        } catch (const std::system_error&) {
        }
        return state;
    };
    hooks.eject = [paths, bus](const std::string& mountPoint, const std::string& expectedUUID) {
        // The device now at the mount point must be the one the archive was written to.
        const auto uuid = MountedVolumes::volumeUUID(mountPoint, paths);
        if (!uuid || *uuid != expectedUUID) {
            throw ExternalVolumeEjectError(ExternalVolumeEjectError::Code::archiveUnavailable);
        }
        UDisks2Ejector::unmountAndEject(bus, mountPoint);
    };
    return hooks;
}

}  // namespace tolvane
