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
    read(QStringLiteral("org.freedesktop.appearance"), QStringLiteral("reduced-motion"));
    read(QStringLiteral("org.gnome.desktop.interface"), QStringLiteral("enable-animations"));
}

void ReducedMotion::read(const QString& group, const QString& key) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"),
        QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Settings"), QStringLiteral("ReadOne"));
    call << group << key;
    // Asked asynchronously: the window must not wait for a portal that is slow or absent.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    const bool isReducedMotion = key == QLatin1String("reduced-motion");
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, isReducedMotion](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusMessage reply = finished->reply();
                if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
                    return;
                }
                const QVariant value = reply.arguments().constFirst();
                if (isReducedMotion) {
                    reduced_ = fromReducedMotion(value);
                } else {
                    animationsOff_ = fromEnableAnimations(value);
                }
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
