#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QTest>

#include <gtest/gtest.h>

#include <future>
#include <set>

#include "platform/volumes/UDisks2Ejector.h"
#include "platform/volumes/UDisks2Types.h"
#include "support/Outcome.h"
#include "support/PrivateBus.h"

namespace tolvane::test {
namespace {

const QString root = QStringLiteral("/org/freedesktop/UDisks2");

// The few objects and methods of UDisks2 the ejector uses: blocks with their drive and mount
// points, drives that can be powered off or only ejected. Every call is logged as
// "<method> <object name>"; a block marked busy refuses to unmount as UDisks2 does.
class FakeUDisks2 final : public QDBusVirtualObject {
public:
    struct Block {
        QString drive;
        QByteArrayList mountPoints;
        quint64 number = 0;
        bool isSystem = false;
        QString cryptoBacking;  // the name of the block under an unlocked encrypted one
    };
    struct Drive {
        bool canPowerOff, ejectable;
    };

    std::map<QString, Block> blocks;  // by name under block_devices/
    std::map<QString, Drive> drives;  // by name under drives/
    std::set<QString> busyBlocks;

    std::vector<std::string> calls;  // served on the GUI thread, read once the eject is over

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QString name = message.path().section(QLatin1Char('/'), -1);
        calls.push_back((message.member() + QLatin1Char(' ') + name).toStdString());
        QDBusMessage reply = message.createReply();
        if (message.member() == QLatin1String("GetManagedObjects")) {
            reply = message.createReply(QVariant::fromValue(managedObjects()));
        } else if (message.member() == QLatin1String("Unmount")) {
            if (busyBlocks.contains(name)) {
                reply = message.createErrorReply(
                    QStringLiteral("org.freedesktop.UDisks2.Error.DeviceBusy"),
                    QStringLiteral("Error unmounting /dev/%1: target is busy").arg(name));
            } else {
                blocks[name].mountPoints.clear();
            }
        }
        connection.send(reply);
        return true;
    }

private:
    UDisks2::ManagedObjects managedObjects() const {
        UDisks2::ManagedObjects objects;
        for (const auto& [name, block] : blocks) {
            QByteArrayList points;
            for (const QByteArray& point : block.mountPoints) {
                points.push_back(point + '\0');
            }
            const QDBusObjectPath backing(block.cryptoBacking.isEmpty()
                                              ? QStringLiteral("/")
                                              : root + "/block_devices/" + block.cryptoBacking);
            objects[QDBusObjectPath(root + "/block_devices/" + name)] = {
                {"org.freedesktop.UDisks2.Block",
                 {{"Drive", QVariant::fromValue(QDBusObjectPath(
                                block.drive.isEmpty() ? QStringLiteral("/")
                                                      : root + "/drives/" + block.drive))},
                  {"DeviceNumber", QVariant::fromValue(block.number)},
                  {"HintSystem", block.isSystem},
                  {"CryptoBackingDevice", QVariant::fromValue(backing)}}},
                {"org.freedesktop.UDisks2.Filesystem",
                 {{"MountPoints", QVariant::fromValue(points)}}}};
        }
        for (const auto& [name, drive] : drives) {
            objects[QDBusObjectPath(root + "/drives/" + name)] = {
                {"org.freedesktop.UDisks2.Drive",
                 {{"CanPowerOff", drive.canPowerOff}, {"Ejectable", drive.ejectable}}}};
        }
        return objects;
    }
};

// A private session bus for one test, with the fake service on it and a second connection for
// the ejector, as the system bus would be.
class UDisks2EjectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PrivateBus::available()) {
            GTEST_SKIP() << "dbus-daemon is not installed";
        }
        const QString address = bus.start();
        ASSERT_FALSE(address.isEmpty());
        UDisks2::registerTypes();
        service = QDBusConnection::connectToBus(address, QStringLiteral("fake-udisks2"));
        client = QDBusConnection::connectToBus(address, QStringLiteral("ejector"));
        ASSERT_TRUE(service.isConnected() && client.isConnected());
        ASSERT_TRUE(service.registerService(QString::fromLatin1(UDisks2Ejector::service)));
        ASSERT_TRUE(service.registerVirtualObject(root, &fake, QDBusConnection::SubPath));
    }

    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-udisks2"));
        QDBusConnection::disconnectFromBus(QStringLiteral("ejector"));
    }

    // Runs a blocking call on another thread while this one serves the fake.
    template <typename Call>
    auto offThread(Call call) {
        auto done = std::async(std::launch::async, call);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            60000));
        return done.get();
    }
    std::string eject(const std::string& mountPoint) {
        return offThread([&] {
            return outcomeOf([&] { UDisks2Ejector::unmountAndEject(client, mountPoint); });
        });
    }
    std::optional<MountedVolumes::SystemDiskHints> hints() {
        return offThread([&] { return UDisks2::systemDiskHints(client); });
    }

    PrivateBus bus;
    FakeUDisks2 fake;
    QDBusConnection service{QString()};
    QDBusConnection client{QString()};
};

TEST_F(UDisks2EjectorTest, UnmountsEveryFileSystemOfTheDriveThenRemovesItOrPassesTheRefusal) {
    fake.drives = {{"Stick", {true, true}}, {"Reader", {false, true}}, {"Busy", {true, false}}};
    fake.blocks = {{"sdb1", {"Stick", {"/media/u/A"}}},
                   {"sdb2", {"Stick", {"/media/u/B", "/mnt/b"}}},
                   {"sdb3", {"Stick", {}}},
                   {"sdc1", {"Reader", {"/media/u/Card"}}},
                   {"sdd1", {"Busy", {"/media/u/D1"}}},
                   {"sdd2", {"Busy", {"/media/u/D2"}}}};
    fake.busyBlocks = {"sdd2"};

    EXPECT_EQ(eject("/media/u/B"), "ok");
    EXPECT_EQ(eject("/media/u/Card"), "ok");
    EXPECT_EQ(eject("/media/u/D1"), "exception Error unmounting /dev/sdd2: target is busy");
    EXPECT_TRUE(eject("/media/u/elsewhere").starts_with("exception No file system"));
    EXPECT_EQ(fake.calls, (std::vector<std::string>{
                              "GetManagedObjects UDisks2", "Unmount sdb2", "Unmount sdb1",
                              "PowerOff Stick", "GetManagedObjects UDisks2", "Unmount sdc1",
                              "Eject Reader", "GetManagedObjects UDisks2", "Unmount sdd1",
                              "Unmount sdd2", "GetManagedObjects UDisks2"}));
}

TEST_F(UDisks2EjectorTest, SystemHintsAreReadByDeviceNumberAndLookThroughEncryption) {
    fake.drives = {{"Stick", {true, true}}, {"Disk", {false, false}}};
    fake.blocks = {{"sda1", {"Disk", {}, 0x801, true}},
                   {"sda2", {"Disk", {}, 0x802, true}},
                   {"sdb1", {"Stick", {}, 0x811, false}},
                   // cleartext devices have no drive and are marked by their own default
                   {"dm_0", {"", {}, 0xfd00, true, "sdb1"}},
                   {"dm_1", {"", {}, 0xfd01, true, "sda2"}},
                   {"dm_2", {"", {}, 0xfd02, false, "sda1"}}};
    const auto found = hints();
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(*found, (MountedVolumes::SystemDiskHints{{0x801, true},
                                                       {0x802, true},
                                                       {0x811, false},
                                                       {0xfd00, false},
                                                       {0xfd01, true},
                                                       {0xfd02, false}}));

    // Without the service every disk is left to sysfs.
    ASSERT_TRUE(service.unregisterService(QString::fromLatin1(UDisks2Ejector::service)));
    EXPECT_EQ(hints(), std::nullopt);
}

}  // namespace
}  // namespace tolvane::test
