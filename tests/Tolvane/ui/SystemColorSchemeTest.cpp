#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>

#include "Tolvane/ui/VeskaAppearance.h"
#include "support/PrivateBus.h"

namespace tolvane::test {
namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.Settings");

// The settings portal's two read methods; an old portal knows only Read, which wraps the value
// in a second variant.
class FakePortal final : public QDBusVirtualObject {
public:
    bool oldPortal = false;
    uint scheme = 1;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        const QVariant value = QVariant::fromValue(scheme);
        if (message.member() == QLatin1String("ReadOne") && !oldPortal) {
            bus.send(message.createReply(QVariant::fromValue(QDBusVariant(value))));
        } else if (message.member() == QLatin1String("Read")) {
            const QVariant inner = QVariant::fromValue(QDBusVariant(value));
            bus.send(message.createReply(QVariant::fromValue(QDBusVariant(inner))));
        } else {
            bus.send(message.createErrorReply(
                QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), message.member()));
        }
        return true;
    }
};

class SystemColorSchemeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PrivateBus::available()) {
            GTEST_SKIP() << "dbus-daemon is not installed";
        }
        address = bus.start();
        ASSERT_FALSE(address.isEmpty());
        portal = QDBusConnection::connectToBus(address, QStringLiteral("fake-portal"));
        ASSERT_TRUE(portal.isConnected());
        ASSERT_TRUE(portal.registerService(kService));
        ASSERT_TRUE(portal.registerVirtualObject(kPath, &fake));
    }

    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-portal"));
        QDBusConnection::disconnectFromBus(QStringLiteral("application"));
    }

    QDBusConnection application() {
        return QDBusConnection::connectToBus(address, QStringLiteral("application"));
    }

    void announce(const QString& nameSpace, uint value) {
        QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, "SettingChanged");
        signal << nameSpace << QStringLiteral("color-scheme")
               << QVariant::fromValue(QDBusVariant(QVariant::fromValue(value)));
        ASSERT_TRUE(portal.send(signal));
    }

    PrivateBus bus;
    QString address;
    QDBusConnection portal{QString()};
    FakePortal fake;
};

TEST_F(SystemColorSchemeTest, ReadsThePreferenceAndFollowsItsChanges) {
    for (const bool oldPortal : {false, true}) {
        fake.oldPortal = oldPortal;
        fake.scheme = 1;
        SystemColorScheme scheme(application());
        // The waits are only a safety net: each ends as soon as the answer arrives.
        ASSERT_TRUE(QTest::qWaitFor([&] { return scheme.current().has_value(); }, 30000))
            << oldPortal;
        EXPECT_EQ(scheme.current(), std::optional<uint>(1));

        announce(QStringLiteral("org.gnome.desktop.interface"), 2);  // another namespace
        announce(QStringLiteral("org.freedesktop.appearance"), 2);
        ASSERT_TRUE(QTest::qWaitFor([&] { return scheme.current() != 1u; }, 30000));
        EXPECT_EQ(scheme.current(), std::optional<uint>(2));
        QDBusConnection::disconnectFromBus(QStringLiteral("application"));
    }
}

TEST(SystemColorScheme, WithoutABusThePreferenceStaysUnknown) {
    SystemColorScheme scheme(QDBusConnection(QStringLiteral("not-connected")));
    EXPECT_EQ(scheme.current(), std::nullopt);
}

}  // namespace
}  // namespace tolvane::test
