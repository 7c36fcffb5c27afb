#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QVariant>

#include <optional>

#include "Tolvane/ui/SettingsPortal.h"

class QWidget;

namespace tolvane {

// Whether the desktop asks for less motion, read through the settings portal and followed as the
// portal announces changes: its own "reduced-motion" key or GNOME's "enable-animations", which
// the portal passes on. Either one asking for less is enough; without an answer the window
// animates.
class ReducedMotion final : public QObject {
    Q_OBJECT

public:
    explicit ReducedMotion(QDBusConnection bus = QDBusConnection::sessionBus(),
                           QObject* parent = nullptr);

    bool isOn() const noexcept { return reduced_ == true || animationsOff_ == true; }

    // The portal's answers as found in its replies (variants wrapped in variants).
    static std::optional<bool> fromReducedMotion(const QVariant& value);
    static std::optional<bool> fromEnableAnimations(const QVariant& value);

signals:
    void changed();

private:
    // Takes the portal's value of one of the two keys; other keys are not ours.
    void take(const QString& group, const QString& key, const QVariant& value);

    SettingsPortal portal_;
    std::optional<bool> reduced_;
    std::optional<bool> animationsOff_;
};

// Fades the widget in over `milliseconds` on the curve, unless motion is reduced; the effect is
// removed at the end so that the widget draws as before.
void fadeIn(QWidget& widget, int milliseconds, bool reducedMotion);

}  // namespace tolvane
