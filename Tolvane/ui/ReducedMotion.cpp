#include "Tolvane/ui/ReducedMotion.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QGraphicsOpacityEffect>
#include <QPointer>
#include <QPropertyAnimation>
#include <QWidget>

#include <utility>

namespace tolvane {

namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kAppearance = QStringLiteral("org.freedesktop.appearance");
const QString kReducedMotion = QStringLiteral("reduced-motion");
const QString kGnomeInterface = QStringLiteral("org.gnome.desktop.interface");
const QString kEnableAnimations = QStringLiteral("enable-animations");

QVariant unwrapped(QVariant value) {
    for (int depth = 0; depth < 3 && value.metaType() == QMetaType::fromType<QDBusVariant>();
         ++depth) {
        value = value.value<QDBusVariant>().variant();
    }
    return value;
}

}  // namespace

std::optional<bool> ReducedMotion::fromReducedMotion(const QVariant& value) {
    // 0 no preference, 1 reduce.
    const QVariant inner = unwrapped(value);
    if (inner.metaType() != QMetaType::fromType<uint>()) {
        return std::nullopt;
    }
    return inner.toUInt() == 1;
}

std::optional<bool> ReducedMotion::fromEnableAnimations(const QVariant& value) {
    const QVariant inner = unwrapped(value);
    if (inner.metaType() != QMetaType::fromType<bool>()) {
        return std::nullopt;
    }
    return !inner.toBool();
}

ReducedMotion::ReducedMotion(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {
    if (!bus_.isConnected()) {
        return;
    }
    // Subscribed before asking, so that a change between the answer and the subscription is not
    // missed; the portal sends both in the order it made them.
    bus_.connect(kPortalService, kPortalPath, kSettingsInterface, QStringLiteral("SettingChanged"),
                 this, SLOT(settingChanged(QDBusMessage)));
    read(kAppearance, kReducedMotion);
    read(kGnomeInterface, kEnableAnimations);
}

void ReducedMotion::settingChanged(const QDBusMessage& message) {
    const QVariantList arguments = message.arguments();
    if (arguments.size() != 3) {
        return;
    }
    take(arguments[0].toString(), arguments[1].toString(), arguments[2]);
}

void ReducedMotion::take(const QString& group, const QString& key, const QVariant& value) {
    const bool before = isOn();
    if (group == kAppearance && key == kReducedMotion) {
        reduced_ = fromReducedMotion(value);
    } else if (group == kGnomeInterface && key == kEnableAnimations) {
        animationsOff_ = fromEnableAnimations(value);
    } else {
        return;
    }
    if (isOn() != before) {
        emit changed();
    }
}

void ReducedMotion::read(const QString& group, const QString& key) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        kPortalService, kPortalPath, kSettingsInterface, QStringLiteral("ReadOne"));
    call << group << key;
    // Asked asynchronously: the window must not wait for a portal that is slow or absent.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, group, key](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusMessage reply = finished->reply();
                if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
                    return;
                }
                take(group, key, reply.arguments().constFirst());
            });
}

void fadeIn(QWidget& widget, int milliseconds, bool reducedMotion) {
    if (reducedMotion || !widget.isVisible()) {
        return;
    }
    auto* effect = new QGraphicsOpacityEffect(&widget);
    effect->setOpacity(0);
    widget.setGraphicsEffect(effect);
    auto* animation = new QPropertyAnimation(effect, "opacity", effect);
    animation->setDuration(milliseconds);
    animation->setStartValue(0.0);
    animation->setEndValue(1.0);
    animation->setEasingCurve(QEasingCurve::InOutQuad);
    QObject::connect(animation, &QPropertyAnimation::finished, &widget,
                     [target = QPointer<QWidget>(&widget), effect = QPointer(effect)] {
                         if (target && effect && target->graphicsEffect() == effect) {
                             target->setGraphicsEffect(nullptr);
                         }
                     });
    animation->start();
}

}  // namespace tolvane
