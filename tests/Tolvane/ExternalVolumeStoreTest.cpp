#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <stdexcept>

#include "FakeJobBackend.h"
#include "Tolvane/model/ExternalVolumeEjectError.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "platform/volumes/UDisks2Ejector.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane::test {
namespace {

ExternalVolume volume(const std::string& url, const char* name,
                      std::optional<std::string> uuid = std::nullopt) {
    ExternalVolume v;
    v.url = url, v.name = QString::fromUtf8(name), v.uuid = std::move(uuid);
    return v;
}

std::vector<std::string> urlsOf(const std::vector<ExternalVolume>& volumes) {
    std::vector<std::string> urls;
    for (const auto& v : volumes) {
        urls.push_back(v.url);
    }
    return urls;
}

std::string describe(const std::exception_ptr& error) {
    return error ? outcomeOf([&] { std::rethrow_exception(error); }) : "ok";
}

// The system as the store sees it: a list the test edits, files with their volume UUIDs, and an
// eject each call of which waits until the test ends it.
class ExternalVolumeStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ExternalVolumeStore::Hooks hooks;
        hooks.scan = [this] {
            ++scans;
            std::unique_lock lock(mutex);
            scanReleased.wait(lock, [this] { return !holdScans; });
            return listed;
        };
        hooks.onMount = [this] { ++mounts; };
        hooks.archiveState = [this](const std::string& url) {
            const auto found = files.find(url);
            return found == files.end() ? ArchiveVolumeState{} : found->second;
        };
        hooks.eject = [this](const std::string& url, const std::string& uuid) {
            ejected.push_back(url + " " + uuid);  // the GUI thread waits for ejectEntered
            ejectEntered = true;
            if (auto error = systemAnswer.get_future().get()) {
                std::rethrow_exception(error);
            }
        };
        store = std::make_unique<ExternalVolumeStore>(center, std::move(hooks));
        QObject::connect(store.get(), &ExternalVolumeStore::isEjectingChanged,
                         [this] { ejecting.push_back(store->isEjecting()); });
        settle();
    }

    void list(std::vector<ExternalVolume> volumes) {
        const std::lock_guard lock(mutex);
        listed = std::move(volumes);
    }
    // Waits until every event posted so far has been handled: a rescan requested now is served
    // only after those requested earlier.
    void settle() {
        bool done = false;
        store->currentVolume("", [&](auto) { done = true; });
        ASSERT_TRUE(eventually([&] { return done; }));
    }
    std::shared_ptr<std::optional<std::exception_ptr>> eject(const std::string& archive) {
        auto result = std::make_shared<std::optional<std::exception_ptr>>();
        store->ejectVerifiedArchive(archive, [result](std::exception_ptr e) { *result = e; });
        return result;
    }
    std::string ejectOutcome(const std::string& archive) {
        auto result = eject(archive);
        return eventually([&] { return result->has_value(); }) ? describe(**result) : "pending";
    }

    VolumeNotificationCenter center;
    std::unique_ptr<ExternalVolumeStore> store;
    ~ExternalVolumeStoreTest() override { releaseScans(); }

    void holdScansFromNowOn() {
        const std::lock_guard lock(mutex);
        holdScans = true;
    }
    void releaseScans() {
        {
            const std::lock_guard lock(mutex);
            holdScans = false;
        }
        scanReleased.notify_all();
    }

    std::mutex mutex;
    std::condition_variable scanReleased;
    bool holdScans = false;
    std::vector<ExternalVolume> listed;
    std::vector<std::string> ejected;
    std::promise<std::exception_ptr> systemAnswer;
    std::atomic<bool> ejectEntered = false;
    std::map<std::string, ArchiveVolumeState> files;
    std::atomic<int> scans = 0;
    int mounts = 0;
    std::vector<bool> ejecting;
};

TEST_F(ExternalVolumeStoreTest, SortsByNameAsPeopleReadItAndKeepsEqualNamesInScanOrder) {
    list({volume("/media/u/s10", "Stick 10"), volume("/media/u/b", "beta"),
          volume("/media/u/A1", "Alpha"), volume("/media/u/s9", "stick 9"),
          volume("/media/u/A2", "alpha"), volume("/media/u/A3", "Alpha")});
    emit center.didRenameVolume("/media/u/b");
    settle();
    EXPECT_EQ(urlsOf(store->volumes()),
              (std::vector<std::string>{"/media/u/A1", "/media/u/A2", "/media/u/A3", "/media/u/b",
                                        "/media/u/s9", "/media/u/s10"}));
}

TEST_F(ExternalVolumeStoreTest, RecentlyMountedIsOnlyANewVolumeAndGoesWithIt) {
    list({volume("/media/u/A", "A", "UA")});
    emit center.didMount("/media/u/A");
    settle();
    EXPECT_EQ(store->recentlyMountedID(), "UA");
    EXPECT_EQ(mounts, 1);

    list({volume("/media/u/A", "A", "UA"), volume("/media/u/B", "B")});
    emit center.didMount("/media/u/hidden");  // a mount the scan does not keep
    emit center.didMount("/media/u/B/");      // a new volume without a UUID: its path is its id
    emit center.didMount("/media/u/A");       // still listed under the same id
    settle();
    EXPECT_EQ(store->recentlyMountedID(), "/media/u/B");
    EXPECT_EQ(mounts, 2);

    // A clone of A (same UUID) is no news; a rename keeps the mark.
    list({volume("/media/u/A", "A", "UA"), volume("/media/u/B", "B (renamed)"),
          volume("/media/u/A_", "A", "UA")});
    emit center.didMount("/media/u/A_");
    emit center.didRenameVolume("/media/u/B");
    settle();
    EXPECT_EQ(store->recentlyMountedID(), "/media/u/B");
    EXPECT_EQ(mounts, 2);

    list({volume("/media/u/A", "A", "UA")});
    emit center.didUnmount("/media/u/B");
    settle();
    EXPECT_EQ(store->recentlyMountedID(), std::nullopt);
}

TEST_F(ExternalVolumeStoreTest, EjectRefusesInOrderAndPassesTheSystemsErrorThrough) {
    // S1, a clone of S mounted beside it, has S's UUID and a name that extends S's: only the
    // folder below S's own mount point holds the archive.
    const std::string archive = "/media/u/S/out/a.zip";
    list({volume("/media/u/S1", "S1", "U"), volume("/media/u/S", "S", "U")});
    files[archive] = {true, "U"};
    settle();

    // The system refuses: its own error arrives unchanged, without a rescan afterwards.
    auto first = eject(archive);
    ASSERT_TRUE(eventually([&] { return ejectEntered.load(); }));
    EXPECT_TRUE(store->isEjecting());
    const int scansDuring = scans;
    EXPECT_EQ(ejectOutcome(archive), "exception 장치를 제거하는 중입니다.");
    EXPECT_EQ(scans, scansDuring);  // refused before any rescan
    systemAnswer.set_value(std::make_exception_ptr(std::runtime_error("target is busy")));
    ASSERT_TRUE(eventually([&] { return first->has_value(); }));
    EXPECT_EQ(describe(**first), "exception target is busy");
    EXPECT_EQ(scans, scansDuring);
    EXPECT_FALSE(store->isEjecting());

    // Success: the list is rescanned before the eject counts as over.
    systemAnswer = {};
    ejectEntered = false;
    auto second = eject(archive);
    ASSERT_TRUE(eventually([&] { return ejectEntered.load(); }));
    list({volume("/media/u/S1", "S1", "U")});
    systemAnswer.set_value(nullptr);
    ASSERT_TRUE(eventually([&] { return second->has_value(); }));
    EXPECT_EQ(describe(**second), "ok");
    EXPECT_EQ(urlsOf(store->volumes()), std::vector<std::string>{"/media/u/S1"});
    EXPECT_EQ(ejecting, (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(ejected, (std::vector<std::string>{"/media/u/S U", "/media/u/S U"}));

    // Nothing to eject: the archive is gone, lies on a volume without a UUID, or the device at
    // the mount point has been swapped for another one.
    const std::string unavailable = "exception ZIP 파일이나 저장한 장치를 확인할 수 없습니다.";
    list({volume("/media/u/S", "S", "V"), volume("/media/u/N", "N")});
    files = {{archive, {true, "U"}}, {"/media/u/N/a.zip", {true, "U"}}};
    for (const std::string& file :
         {archive, std::string("/media/u/N/a.zip"), std::string("/media/u/S/gone.zip")}) {
        EXPECT_EQ(ejectOutcome(file), unavailable) << file;
    }
    EXPECT_EQ(ejected.size(), 2u);
    EXPECT_FALSE(store->isEjecting());
}

TEST(ExternalVolumeFacts, FreeSpaceComesFromThePolicyElseFromTheVolume) {
    const ArchiveDestinationPolicy exfat("exfat", std::nullopt, 5000, false);
    const ArchiveDestinationPolicy unknownSpace("vfat", std::nullopt, std::nullopt, false);
    const struct {
        const char* name;
        std::optional<ArchiveDestinationPolicy> policy;
        std::optional<std::uint64_t> capacity;
        std::optional<std::uint64_t> available;
        std::string fileSystem;
        std::optional<std::uint64_t> maxFile;
    } cases[] = {
        {"the policy's own figure", exfat, 9000, 5000, "exfat", std::nullopt},
        {"no policy: the volume's free space", std::nullopt, 9000, 9000, "", std::nullopt},
        {"no policy, one byte free", std::nullopt, 1, 1, "", std::nullopt},
        {"no policy, nothing free reported", std::nullopt, 0, std::nullopt, "", std::nullopt},
        {"no policy, no free space", std::nullopt, std::nullopt, std::nullopt, "", std::nullopt},
        {"a policy without space", unknownSpace, 7, 7, "msdos",
         ArchiveDestinationPolicy::fatMaximumFileBytes},
    };
    for (const auto& c : cases) {
        MountedVolume mounted{"/media/u/S", "S", "U", false, c.policy, c.capacity};
        const ExternalVolume volume = ExternalVolumeStore::externalVolume(mounted);
        EXPECT_EQ(volume.availableBytes, c.available) << c.name;
        EXPECT_EQ(volume.fileSystem, c.fileSystem) << c.name;
        EXPECT_EQ(volume.maxSingleFileBytes, c.maxFile) << c.name;
        EXPECT_EQ(volume.url, "/media/u/S") << c.name;
    }
}

// The default hooks over a fixture: a folder of this test's file system stands for a mounted
// volume whose device has the UUID 1234-ABCD, or none when the UUID folder is left empty.
class ExternalVolumeSystemHooksTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.file("vol/sub"));
        std::filesystem::create_directories(dir.file("by-uuid"));
        std::filesystem::create_directories(dir.file("no-uuid"));
        writeFile(dir.file("vol/sub/a.zip"), "zip");
        std::filesystem::create_symlink(dir.file("vol/sub/a.zip"), dir.file("vol/link.zip"));
        std::filesystem::create_symlink(dir.file("vol/gone.zip"), dir.file("vol/dangling.zip"));
        std::filesystem::create_symlink("../dev/vdz", dir.file("by-uuid/1234-ABCD"));
        struct stat status {};
        ASSERT_EQ(::stat(dir.path().c_str(), &status), 0);
        writeFile(dir.file("mountinfo"), "1 0 " + std::to_string(major(status.st_dev)) + ":" +
                                             std::to_string(minor(status.st_dev)) +
                                             " / / rw - ext4 " + dir.file("dev/vdz") + " rw\n");
        identified.mountTable = unidentified.mountTable = dir.file("mountinfo");
        identified.diskByUUID = dir.file("by-uuid");
        unidentified.diskByUUID = dir.file("no-uuid");
    }

    ExternalVolumeStore::Hooks hooks(const VolumeSystemPaths& paths) {
        // Not connected: whatever reaches the system is refused at once, and says so.
        return ExternalVolumeStore::systemHooks(paths, QDBusConnection(QString()));
    }

    TempDir dir;
    VolumeSystemPaths identified, unidentified;
};

TEST_F(ExternalVolumeSystemHooksTest, ArchiveStateFollowsLinksAndReadsTheVolumesUUID) {
    const struct {
        std::string file;
        const VolumeSystemPaths& paths;
        ArchiveVolumeState state;
    } cases[] = {
        {"vol/sub/a.zip", identified, {true, "1234-ABCD"}},
        {"vol/link.zip", identified, {true, "1234-ABCD"}},
        {"vol/sub/a.zip", unidentified, {true, std::nullopt}},
        {"vol/dangling.zip", identified, {false, std::nullopt}},
        {"vol/missing.zip", identified, {false, std::nullopt}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hooks(c.paths).archiveState(dir.file(c.file)), c.state) << c.file;
    }
}

TEST_F(ExternalVolumeSystemHooksTest, EjectAsksTheSystemOnlyForTheDeviceTheArchiveWasWrittenTo) {
    const struct {
        const char* name;
        std::string mountPoint;
        const VolumeSystemPaths& paths;
        std::string expectedUUID;
        std::string outcome;
    } cases[] = {
        {"the same device", "vol", identified, "1234-ABCD", "asked the system"},
        {"another device", "vol", identified, "1234-ABCE", "archiveUnavailable"},
        {"a device without a UUID", "vol", unidentified, "1234-ABCD", "archiveUnavailable"},
        {"nothing at the mount point", "gone", identified, "1234-ABCD", "errno ENOENT"},
    };
    for (const auto& c : cases) {
        std::string outcome;
        try {
            hooks(c.paths).eject(dir.file(c.mountPoint), c.expectedUUID);
            outcome = "ok";
        } catch (const ExternalVolumeEjectError& error) {
            outcome = error.code() == ExternalVolumeEjectError::Code::archiveUnavailable
                          ? "archiveUnavailable"
                          : error.what();
        } catch (const VolumeEjectFailure& failure) {
            outcome = failure.name() == QLatin1String("org.freedesktop.DBus.Error.Disconnected")
                          ? "asked the system"
                          : failure.what();
        } catch (const std::system_error& error) {
            outcome = "errno " + errnoName(error.code().value());
        }
        EXPECT_EQ(outcome, c.outcome) << c.name;
    }
}

TEST_F(ExternalVolumeStoreTest, AnEjectIsUnderWayFromTheMomentItIsAsked) {
    const std::string archive = "/media/u/S/a.zip";
    list({volume("/media/u/S", "S", "U")});
    files[archive] = {true, "U"};
    settle();
    struct Case {
        const char* name;
        bool found;  // the rescan still finds the archive on its volume
        std::string outcome;
    };
    const Case cases[] = {
        {"archive gone meanwhile", false,
         "exception ZIP 파일이나 저장한 장치를 확인할 수 없습니다."},
        {"ejected", true, "ok"},
    };
    for (const Case& c : cases) {
        ejecting.clear();
        holdScansFromNowOn();
        auto result = eject(archive);
        // Before the rescan that precedes the eject has answered.
        EXPECT_TRUE(store->isEjecting()) << c.name;
        EXPECT_EQ(ejecting, std::vector<bool>{true}) << c.name;
        EXPECT_EQ(ejectOutcome(archive), "exception 장치를 제거하는 중입니다.") << c.name;
        if (!c.found) {
            files.erase(archive);
        } else {
            systemAnswer = {};
            systemAnswer.set_value(nullptr);
        }
        releaseScans();
        ASSERT_TRUE(eventually([&] { return result->has_value(); })) << c.name;
        EXPECT_EQ(describe(**result), c.outcome) << c.name;
        EXPECT_EQ(ejecting, (std::vector<bool>{true, false})) << c.name;
        files[archive] = {true, "U"};
    }
}

}  // namespace
}  // namespace tolvane::test
