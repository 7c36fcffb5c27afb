#include "Tolvane/ui/VeskaAppearance.h"

#include "Tolvane/ui/VeskaStyle.h"

#include <QApplication>

#include <utility>

namespace tolvane {

namespace {

const QString kAppearanceNamespace = QStringLiteral("org.freedesktop.appearance");
const QString kColorSchemeKey = QStringLiteral("color-scheme");

}  // namespace

std::optional<uint> portalColorScheme(const QVariant& value) {
    const QVariant inner = SettingsPortal::unwrapped(value);
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
    : QObject(parent), portal_(std::move(bus), {{kAppearanceNamespace, kColorSchemeKey}}) {
    connect(&portal_, &SettingsPortal::valueChanged, this,
            [this](const QString&, const QString&, const QVariant& value) {
                update(portalColorScheme(value));
            });
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
