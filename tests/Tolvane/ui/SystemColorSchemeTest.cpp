#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>
#include <tuple>
#include <vector>

#include "Tolvane/ui/ReducedMotion.h"
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
        announce(nameSpace, QStringLiteral("color-scheme"), QVariant::fromValue(value));
    }
    void announce(const QString& nameSpace, const QString& key, const QVariant& value) {
        QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, "SettingChanged");
        signal << nameSpace << key << QVariant::fromValue(QDBusVariant(value));
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

TEST_F(SystemColorSchemeTest, ReducedMotionFollowsTheDesktopWhileTheProgramRuns) {
    const QString appearance = QStringLiteral("org.freedesktop.appearance");
    const QString gnome = QStringLiteral("org.gnome.desktop.interface");
    const QString reduced = QStringLiteral("reduced-motion");
    const QString animations = QStringLiteral("enable-animations");
    // Each step's last announcement flips the setting; those before it must change nothing.
    const struct {
        const char* name;
        std::vector<std::tuple<QString, QString, QVariant>> announced;
        bool on;
    } steps[] = {
        {"motion allowed again",
         {{appearance, QStringLiteral("color-scheme"), QVariant::fromValue(0u)},
          {appearance, reduced, QVariant::fromValue(0u)}},
         false},
        {"animations switched off",
         {{gnome, reduced, QVariant::fromValue(1u)}, {gnome, animations, QVariant(false)}},
         true},
        {"animations back on", {{gnome, animations, QVariant(true)}}, false},
        {"an unreadable value counts as no answer",
         {{appearance, reduced, QVariant(QStringLiteral("1"))},
          {appearance, reduced, QVariant::fromValue(1u)}},
         true},
    };
    fake.scheme = 1;  // the portal's first answer: reduce
    ReducedMotion motion(application());
    int changes = 0;
    QObject::connect(&motion, &ReducedMotion::changed, [&] { ++changes; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return motion.isOn(); }, 30000));
    changes = 0;
    for (const auto& step : steps) {
        for (const auto& [nameSpace, key, value] : step.announced) {
            announce(nameSpace, key, value);
        }
        // The announcements arrive in order: once the last one shows, all were handled.
        ASSERT_TRUE(QTest::qWaitFor([&] { return motion.isOn() == step.on; }, 30000)) << step.name;
        EXPECT_EQ(changes, 1) << step.name;
        changes = 0;
    }
}

TEST(SystemColorScheme, WithoutABusThePreferenceStaysUnknown) {
    SystemColorScheme scheme(QDBusConnection(QStringLiteral("not-connected")));
    EXPECT_EQ(scheme.current(), std::nullopt);
}

}  // namespace
}  // namespace tolvane::test
