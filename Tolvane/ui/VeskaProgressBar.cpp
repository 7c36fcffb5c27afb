#include "Tolvane/ui/VeskaProgressBar.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <mutex>

#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane {

namespace {

void fillCapsule(QPainter& painter, const QRectF& rect, const QColor& color) {
    const double radius = std::min(rect.width(), rect.height()) / 2;
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    painter.fillPath(path, color);
}

// What assistive technology sees of a bar: a read-only progress value with its range.
class AccessibleProgressBar final : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit AccessibleProgressBar(VeskaProgressBar* bar)
        : QAccessibleWidget(bar, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface) {
            return static_cast<QAccessibleValueInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text type) const override {
        if (type == QAccessible::Value) {
            return VeskaProgressBar::percentText(bar().fraction());
        }
        return QAccessibleWidget::text(type);
    }

    QVariant currentValue() const override {
        return VeskaProgressBar::accessibleValue(bar().fraction());
    }
    void setCurrentValue(const QVariant&) override {}  // shows progress, takes no input
    QVariant maximumValue() const override { return VeskaProgressBar::maximumValue; }
    QVariant minimumValue() const override { return VeskaProgressBar::minimumValue; }
    QVariant minimumStepSize() const override { return 0; }

private:
    const VeskaProgressBar& bar() const { return *static_cast<VeskaProgressBar*>(widget()); }
};

QAccessibleInterface* accessibleBar(const QString& className, QObject* object) {
    if (className == QLatin1String("tolvane::VeskaProgressBar") && object->isWidgetType()) {
        return new AccessibleProgressBar(static_cast<VeskaProgressBar*>(object));
    }
    return nullptr;
}

}  // namespace

VeskaProgressBar::VeskaProgressBar(double fraction, QWidget* parent) : QWidget(parent) {
    static std::once_flag installed;
    std::call_once(installed, [] { QAccessible::installFactory(accessibleBar); });
    setFixedHeight(barHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(QStringLiteral("진행률"));
    fraction_ = fraction;
}

double VeskaProgressBar::accessibleValue(double fraction) noexcept {
    return minimumValue + clampedFraction(fraction) * (maximumValue - minimumValue);
}

double VeskaProgressBar::clampedFraction(double fraction) noexcept {
    if (std::isnan(fraction) || fraction <= 0) {
        return 0;
    }
    return fraction > 1 ? 1 : fraction;
}

QString VeskaProgressBar::percentText(double fraction, const QLocale& locale) {
    const auto percent = static_cast<int>(std::lround(clampedFraction(fraction) * 100));
    return locale.toString(percent) + locale.percent();
}

void VeskaProgressBar::setFraction(double fraction) {
    if (fraction == fraction_) {
        return;
    }
    fraction_ = fraction;
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent event(this, accessibleValue(fraction));
        QAccessible::updateAccessibility(&event);
    }
    update();
}

void VeskaProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track(0, 0, width(), barHeight);
    fillCapsule(painter, track, VeskaTheme::divider.in(*this));
    const double filled = clampedFraction(fraction_) * width();
    if (filled > 0) {
        fillCapsule(painter, QRectF(0, 0, filled, barHeight), QColor::fromRgb(VeskaTheme::lime));
    }
}

}  // namespace tolvane
