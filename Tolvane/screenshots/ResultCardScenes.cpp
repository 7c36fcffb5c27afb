// The main window with a finished job: the result card on an internal folder and on an external
// volume, while and after ejecting it, a failed eject, an unpack, the Drive panel's states inside
// the card, and the volumes list with a FAT and an ext4 volume.

#include <QDir>
#include <QFile>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/screenshots/GoogleSceneModel.h"
#include "Tolvane/screenshots/ScreenshotScenes.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/ExternalVolumesView.h"
#include "core/common/PathText.h"
#include "core/drive/DriveTransferError.h"

namespace tolvane::screenshots {
namespace {

using Kind = GoogleConnectionModel::TransferState::Kind;

const std::string kFatUUID = "4A1C-9F20";

// The system as the window's volume store sees it: a list the scene sets, every archive on the
// first listed volume, and an eject that answers as the scene says or waits until it ends.
struct SceneSystem {
    std::mutex mutex;
    std::condition_variable ended;
    bool ending = false;
    bool holdEject = false;
    std::exception_ptr ejectFailure;
    std::vector<ExternalVolume> listed;

    ~SceneSystem() {
        {
            const std::lock_guard lock(mutex);
            ending = true;
        }
        ended.notify_all();
    }
};

ExternalVolume fatVolume(const std::string& mountPoint) {
    return {mountPoint, QStringLiteral("납품용 USB"), kFatUUID, false, std::nullopt, 31'457'280'000,
            "msdos"};
}

ExternalVolume ext4Volume() {
    return {"/media/minji/backup",
            QStringLiteral("백업 디스크"),
            "6f1e0a52-3c1b-4d7e-9a55",
            false,
            std::nullopt,
            812'000'000'000,
            "ext4"};
}

struct Window {
    GoogleSceneModel* scene;
    ExternalVolumeStore* volumes;
    VolumeNotificationCenter* center;
    ContentView* view;
    std::shared_ptr<SceneSystem> system;
};

// A window over the scene's models and a volume store over `system`, with a packed archive (or
// an unpacked folder), the account connected.
Window window(std::shared_ptr<SceneSystem> system, bool onVolume, bool unpack = false) {
    auto* scene = new GoogleSceneModel;
    scene->connectAccount();
    if (unpack) {
        const std::string temporary = QFile::encodeName(QDir::tempPath()).toStdString();
        scene->job().addInputs({temporary + "/여행 사진.zip"});
        scene->job().startUnpacking(temporary + "/여행 사진");
        GoogleSceneModel::settle([&] { return scene->job().outputURL().has_value(); });
    } else {
        scene->packArchive();
    }
    const std::string folder = PathText::deletingLastComponent(scene->archivePath());
    if (onVolume) {
        const std::lock_guard lock(system->mutex);
        system->listed.insert(system->listed.begin(), fatVolume(folder));
    }
    ExternalVolumeStore::Hooks hooks;
    hooks.scan = [system] {
        const std::lock_guard lock(system->mutex);
        return system->listed;
    };
    hooks.onMount = [] {};
    hooks.archiveState = [system, onVolume](const std::string&) {
        return ArchiveVolumeState{true, onVolume ? std::optional(kFatUUID) : std::nullopt};
    };
    hooks.eject = [system](const std::string&, const std::string&) {
        std::unique_lock lock(system->mutex);
        if (system->holdEject) {
            system->ended.wait(lock, [&] { return system->ending; });
        }
        if (system->ejectFailure) {
            std::rethrow_exception(system->ejectFailure);
        }
        system->listed.erase(system->listed.begin());
    };
    auto* center = new VolumeNotificationCenter;
    auto* volumes = new ExternalVolumeStore(*center, std::move(hooks));
    GoogleSceneModel::settle([&] { return !volumes->volumes().empty() || !onVolume; });
    auto* view = new ContentView(scene->job(), scene->google(), *volumes);
    // The models go with the window, after its own parts; the system after the last worker.
    for (QObject* model : {static_cast<QObject*>(volumes), static_cast<QObject*>(center),
                           static_cast<QObject*>(scene)}) {
        model->setParent(view);
    }
    return {scene, volumes, center, view, std::move(system)};
}

QWidget* ejected(std::exception_ptr failure, bool hold) {
    auto system = std::make_shared<SceneSystem>();
    system->ejectFailure = std::move(failure);
    system->holdEject = hold;
    Window shown = window(system, true);
    shown.view->safelyEject(*shown.scene->job().outputURL());
    GoogleSceneModel::settle([&] {
        return hold ? shown.volumes->isEjecting()
                    : !shown.volumes->isEjecting() &&
                          (shown.view->ejectedVolumeName() || shown.view->ejectionError());
    });
    // The held eject waits for the system's end, which comes with the window.
    QObject::connect(shown.view, &QObject::destroyed, [system] {
        {
            const std::lock_guard lock(system->mutex);
            system->ending = true;
        }
        system->ended.notify_all();
    });
    return shown.view;
}

QWidget* sharing(GoogleSceneModel::Step step, Kind until) {
    Window shown = window(std::make_shared<SceneSystem>(), false);
    shown.scene->share = step;
    shown.scene->google().shareVerifiedArchive(*shown.scene->job().verifiedArchive(),
                                               DriveLinkRole::reader);
    GoogleSceneModel::settle([&] { return shown.scene->google().transferState().kind == until; });
    return shown.view;
}

QWidget* volumesList() {
    auto* list = new ExternalVolumesView([](const ExternalVolume&) {});
    list->setFixedWidth(ContentView::windowWidth - 48);
    list->setVolumes({ext4Volume(), fatVolume("/media/minji/USB")}, kFatUUID, 2'350'000'000, true);
    return onCanvas(list);
}

Scene scene(const char* name, std::function<QWidget*()> build) {
    return {QStringLiteral("result-") + QLatin1String(name), std::move(build)};
}

const bool registered = registerScenes({
    scene("folder", [] { return window(std::make_shared<SceneSystem>(), false).view; }),
    scene("volume",
          [] {
              auto system = std::make_shared<SceneSystem>();
              system->listed.push_back(ext4Volume());
              return window(system, true).view;
          }),
    scene("unpacked", [] { return window(std::make_shared<SceneSystem>(), false, true).view; }),
    scene("ejecting", [] { return ejected(nullptr, true); }),
    scene("ejected", [] { return ejected(nullptr, false); }),
    scene("eject-failed",
          [] {
              return ejected(std::make_exception_ptr(
                                 std::runtime_error("Error unmounting /dev/sdb1: target is busy")),
                             false);
          }),
    scene("drive-uploading",
          [] {
              return sharing({DriveTransferProgress{DriveTransferProgress::Stage::uploading,
                                                    50'331'648, 128'450'000},
                              {},
                              true},
                             Kind::uploading);
          }),
    scene("drive-shared", [] { return sharing({}, Kind::shared); }),
    scene("drive-failed",
          [] {
              return sharing({std::nullopt,
                              std::make_exception_ptr(DriveTransferError::storageQuota()), false},
                             Kind::failed);
          }),
    {QStringLiteral("volumes-list"), volumesList},
});

}  // namespace
}  // namespace tolvane::screenshots
