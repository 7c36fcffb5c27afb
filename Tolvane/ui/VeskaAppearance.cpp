#include "Tolvane/ui/VeskaAppearance.h"

#include "Tolvane/ui/VeskaStyle.h"

#include <QApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include <utility>

namespace tolvane {

namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kAppearanceNamespace = QStringLiteral("org.freedesktop.appearance");
const QString kColorSchemeKey = QStringLiteral("color-scheme");

}  // namespace

std::optional<uint> portalColorScheme(const QVariant& value) {
    QVariant inner = value;
    // ReadOne wraps the value in one variant, the older Read in two.
    for (int depth = 0; depth < 3 && inner.canConvert<QDBusVariant>() &&
                        inner.metaType() == QMetaType::fromType<QDBusVariant>();
         ++depth) {
        inner = inner.value<QDBusVariant>().variant();
    }
    if (inner.metaType() != QMetaType::fromType<uint>()) {
        return std::nullopt;
    }
    return inner.toUInt();
}

Appearance resolveAppearance(const QString& setting, std::optional<uint> systemColorScheme) {
    if (setting == QLatin1String("light")) {
        return Appearance::light;
    }
    if (setting == QLatin1String("system")) {
        return systemColorScheme == 1u ? Appearance::dark : Appearance::light;
    }
    return Appearance::dark;
}

SystemColorScheme::SystemColorScheme(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {
    if (!bus_.isConnected()) {
        return;
    }
    // The slot takes the whole message: its three arguments are checked there.
    bus_.connect(kPortalService, kPortalPath, kSettingsInterface, QStringLiteral("SettingChanged"),
                 this, SLOT(settingChanged(QDBusMessage)));
    // Asked asynchronously: the window must not wait for a portal that is slow or absent.
    read(QStringLiteral("ReadOne"));
}

void SystemColorScheme::read(const QString& method) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kPortalService, kPortalPath, kSettingsInterface, method);
    call << kAppearanceNamespace << kColorSchemeKey;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, method](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusMessage reply = finished->reply();
                if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
                    update(portalColorScheme(reply.arguments().constFirst()));
                } else if (method == QLatin1String("ReadOne") &&
                           reply.errorName() ==
                               QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")) {
                    // Portals before version 2 only know Read.
                    read(QStringLiteral("Read"));
                }
            });
}

void SystemColorScheme::settingChanged(const QDBusMessage& message) {
    const QVariantList arguments = message.arguments();
    if (arguments.size() != 3 || arguments[0].toString() != kAppearanceNamespace ||
        arguments[1].toString() != kColorSchemeKey) {
        return;
    }
    update(portalColorScheme(arguments[2]));
}

void SystemColorScheme::update(std::optional<uint> value) {
    if (value == current_) {
        return;
    }
    current_ = value;
    emit changed();
}

VeskaAppearance::VeskaAppearance(QApplication& application, QObject* parent)
    : QObject(parent), application_(application), system_(QDBusConnection::sessionBus(), this) {
    connect(&system_, &SystemColorScheme::changed, this, [this] { refresh(); });
    refresh();
}

void VeskaAppearance::setSetting(const QString& setting) {
    if (setting == setting_) {
        return;
    }
    setting_ = setting;
    refresh();
}

void VeskaAppearance::refresh() {
    const Appearance next = resolveAppearance(setting_, system_.current());
    if (applied_ && next == appearance_) {
        return;
    }
    appearance_ = next;
    applied_ = true;
    apply(application_, next);
    emit appearanceChanged(next);
}

void VeskaAppearance::apply(QApplication& application, Appearance appearance) {
    if (qobject_cast<VeskaStyle*>(application.style()) == nullptr) {
        application.setStyle(new VeskaStyle);
    }
    application.setPalette(VeskaTheme::palette(appearance));
    application.setFont(VeskaTheme::font(VeskaTheme::bodySize));
}

}  // namespace tolvane
