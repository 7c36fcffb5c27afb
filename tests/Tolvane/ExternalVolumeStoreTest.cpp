#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>

#include "FakeJobBackend.h"
#include "Tolvane/model/ExternalVolumeEjectError.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "support/Outcome.h"

namespace tolvane::test {
namespace {

using Code = ExternalVolumeEjectError::Code;

ExternalVolume volume(const std::string& url, const char* name,
                      std::optional<std::string> uuid = std::nullopt) {
    ExternalVolume v;
    v.url = url;
    v.name = QString::fromUtf8(name);
    v.uuid = std::move(uuid);
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
    return outcomeOf([&] {
        if (error) {
            std::rethrow_exception(error);
        }
    });
}

// The system as the store sees it: a list the test edits, files with their volume UUIDs, and an
// eject each call of which waits until the test ends it.
class ExternalVolumeStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ExternalVolumeStore::Hooks hooks;
        hooks.scan = [this] {
            ++scans;
            const std::lock_guard lock(mutex);
            return listed;
        };
        hooks.onMount = [this] { ++mounts; };
        hooks.archiveState = [this](const std::string& url) {
            const auto found = files.find(url);
            return found == files.end() ? ArchiveVolumeState{} : found->second;
        };
        hooks.eject = [this](const std::string& url, const std::string& uuid) {
            std::future<std::exception_ptr> outcome;
            {
                const std::lock_guard lock(mutex);
                ejected.push_back(url + " " + uuid);
                outcome = systemAnswer.get_future();
            }
            ejectEntered = true;
            if (auto error = outcome.get()) {
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
    // Starts an eject and returns where its outcome will be.
    std::shared_ptr<std::optional<std::exception_ptr>> eject(const std::string& archive) {
        auto result = std::make_shared<std::optional<std::exception_ptr>>();
        store->ejectVerifiedArchive(archive, [result](std::exception_ptr e) { *result = e; });
        return result;
    }
    std::string ejectOutcome(const std::string& archive) {
        auto result = eject(archive);
        EXPECT_TRUE(eventually([&] { return result->has_value(); }));
        return result->has_value() ? describe(**result) : "pending";
    }
    void resetEject() {
        systemAnswer = {};
        ejectEntered = false;
    }

    VolumeNotificationCenter center;
    std::unique_ptr<ExternalVolumeStore> store;
    std::mutex mutex;
    std::vector<ExternalVolume> listed;
    std::vector<std::string> ejected;
    std::promise<std::exception_ptr> systemAnswer;
    std::atomic<bool> ejectEntered = false;
    std::map<std::string, ArchiveVolumeState> files;
    std::atomic<int> scans = 0;
    int mounts = 0;
    std::vector<bool> ejecting;
};

TEST(ExternalVolumeRules, ContainsFileOnlyBelowItsOwnMountPointWithItsUUID) {
    const ExternalVolume stick = volume("/media/u/STICK", "STICK", "U1");
    const std::vector<std::tuple<std::string, std::optional<std::string>, bool>> cases = {
        {"/media/u/STICK/a.zip", "U1", true},   {"/media/u/STICK/x/./y/a.zip", "U1", true},
        {"/media/u/STICK1/a.zip", "U1", false},  // a sibling whose name extends the mount point's
        {"/media/u/STICK/a.zip", "U2", false},  {"/media/u/STICK/a.zip", std::nullopt, false},
        {"/media/u/a.zip", "U1", false},
    };
    for (const auto& [file, uuid, contained] : cases) {
        EXPECT_EQ(stick.containsFileURL(file, uuid), contained) << file;
    }
    EXPECT_FALSE(volume("/media/u/STICK", "STICK").containsFileURL("/media/u/STICK/a", "U1"));
}

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
    resetEject();
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

TEST_F(ExternalVolumeStoreTest, DefaultEjectRefusesADeviceWithAnotherUUID) {
    // The temporary folder's own file system stands for the volume; a private mount table and
    // by-uuid folder give it the UUID "U".
    TempDir dir;
    struct stat status {};
    ASSERT_EQ(::stat(dir.path().c_str(), &status), 0);
    ASSERT_EQ(::mkdir(dir.file("by-uuid").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("/dev/fake-disk", dir.file("by-uuid/U").c_str()), 0);
    VolumeSystemPaths paths;
    paths.mountTable = dir.file("mountinfo");
    paths.diskByUUID = dir.file("by-uuid");
    writeFile(paths.mountTable, "1 0 " + std::to_string(major(status.st_dev)) + ":" +
                                    std::to_string(minor(status.st_dev)) +
                                    " / / rw - ext4 /dev/fake-disk rw\n");
    const auto hooks = ExternalVolumeStore::systemHooks(paths, QDBusConnection("absent"));
    EXPECT_EQ(hooks.archiveState(dir.file("by-uuid")), (ArchiveVolumeState{true, "U"}));
    EXPECT_EQ(hooks.archiveState(dir.file("gone")), (ArchiveVolumeState{}));
    EXPECT_EQ(outcomeOf([&] { hooks.eject(dir.path(), "OTHER"); }),
              "exception ZIP 파일이나 저장한 장치를 확인할 수 없습니다.");
    // The right device goes on to UDisks2, here a bus that is not there.
    EXPECT_NE(outcomeOf([&] { hooks.eject(dir.path(), "U"); }),
              "exception ZIP 파일이나 저장한 장치를 확인할 수 없습니다.");
}

}  // namespace
}  // namespace tolvane::test
