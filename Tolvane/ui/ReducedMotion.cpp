#include "Tolvane/ui/ReducedMotion.h"

#include <QGraphicsOpacityEffect>
#include <QPointer>
#include <QPropertyAnimation>
#include <QWidget>

#include <utility>

namespace tolvane {

namespace {

const QString kAppearance = QStringLiteral("org.freedesktop.appearance");
const QString kReducedMotion = QStringLiteral("reduced-motion");
const QString kGnomeInterface = QStringLiteral("org.gnome.desktop.interface");
const QString kEnableAnimations = QStringLiteral("enable-animations");

}  // namespace

std::optional<bool> ReducedMotion::fromReducedMotion(const QVariant& value) {
    // 0 no preference, 1 reduce.
    const QVariant inner = SettingsPortal::unwrapped(value);
    if (inner.metaType() != QMetaType::fromType<uint>()) {
        return std::nullopt;
    }
    return inner.toUInt() == 1;
}

std::optional<bool> ReducedMotion::fromEnableAnimations(const QVariant& value) {
    const QVariant inner = SettingsPortal::unwrapped(value);
    if (inner.metaType() != QMetaType::fromType<bool>()) {
        return std::nullopt;
    }
    return !inner.toBool();
}

ReducedMotion::ReducedMotion(QDBusConnection bus, QObject* parent)
    : QObject(parent),
      portal_(std::move(bus),
              {{kAppearance, kReducedMotion}, {kGnomeInterface, kEnableAnimations}}) {
    connect(&portal_, &SettingsPortal::valueChanged, this, &ReducedMotion::take);
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
