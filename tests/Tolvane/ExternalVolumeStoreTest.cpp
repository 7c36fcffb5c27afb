#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>

#include "FakeJobBackend.h"
#include "Tolvane/model/ExternalVolumeEjectError.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "support/Outcome.h"

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
