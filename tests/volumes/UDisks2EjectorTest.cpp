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
            objects[QDBusObjectPath(root + "/block_devices/" + name)] = {
                {"org.freedesktop.UDisks2.Block",
                 {{"Drive",
                   QVariant::fromValue(QDBusObjectPath(root + "/drives/" + block.drive))}}},
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

    // Runs the blocking eject on another thread while this one serves the fake.
    std::string eject(const std::string& mountPoint) {
        auto done = std::async(std::launch::async, [&] {
            return outcomeOf([&] { UDisks2Ejector::unmountAndEject(client, mountPoint); });
        });
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            60000));
        return done.get();
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

}  // namespace
}  // namespace tolvane::test
