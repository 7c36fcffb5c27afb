#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariant>

#include <optional>

#include "Tolvane/ui/SettingsPortal.h"
#include "Tolvane/ui/VeskaTheme.h"

class QApplication;

namespace tolvane {

// The desktop's colour-scheme preference as the freedesktop settings portal reports it:
// 0 no preference, 1 dark, 2 light. Read/ReadOne answers and SettingChanged values arrive wrapped
// in one or two variants; anything that is not an unsigned number gives nothing.
std::optional<uint> portalColorScheme(const QVariant& value);

// The appearance for the stored choice: "light" is light, "system" follows the desktop (dark only
// when it asks for dark; no preference and no answer are light), and "dark" or any other text is
// dark.
Appearance resolveAppearance(const QString& setting, std::optional<uint> systemColorScheme);

// Follows the desktop's colour-scheme preference through the settings portal on the session bus.
// Without a portal the preference stays unknown.
class SystemColorScheme final : public QObject {
    Q_OBJECT
public:
    explicit SystemColorScheme(QDBusConnection bus = QDBusConnection::sessionBus(),
                               QObject* parent = nullptr);

    std::optional<uint> current() const noexcept { return current_; }

signals:
    void changed();

private:
    void update(std::optional<uint> value);

    SettingsPortal portal_;
    std::optional<uint> current_;
};

// Applies the appearance choice to the whole application: the Fusion style and the theme's
// palette, redone whenever the choice or, under "system", the desktop's preference changes.
class VeskaAppearance final : public QObject {
    Q_OBJECT
public:
    explicit VeskaAppearance(QApplication& application, QObject* parent = nullptr);

    void setSetting(const QString& setting);
    QString setting() const { return setting_; }
    Appearance appearance() const noexcept { return appearance_; }

    // Fusion (through VeskaStyle) plus the appearance's palette and the application font; used by
    // the screenshot program too.
    static void apply(QApplication& application, Appearance appearance);

signals:
    void appearanceChanged(tolvane::Appearance appearance);

private:
    void refresh();

    QApplication& application_;
    SystemColorScheme system_;
    QString setting_ = QStringLiteral("dark");
    Appearance appearance_ = Appearance::dark;
    bool applied_ = false;
};

}  // namespace tolvane
