#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

namespace tolvane {

// The desktop's settings through the freedesktop settings portal on a bus: each key asked for is
// read once, asynchronously (ReadOne, or Read on portals before version 2, which lack it), and
// followed as the portal announces changes. Answers and announcements of those keys arrive as
// `valueChanged`, their value taken out of the variants the portal wraps it in. Without a portal
// nothing arrives.
class SettingsPortal final : public QObject {
    Q_OBJECT

public:
    struct Key {
        QString group;
        QString name;
    };

    SettingsPortal(QDBusConnection bus, QList<Key> keys, QObject* parent = nullptr);

    // A value without the one or two variants around it (ReadOne wraps it in one, Read in two).
    static QVariant unwrapped(QVariant value);

signals:
    void valueChanged(const QString& group, const QString& name, const QVariant& value);

private slots:
    void settingChanged(const QDBusMessage& message);

private:
    void read(const Key& key, const QString& method);
    bool isAskedFor(const QString& group, const QString& name) const;

    QDBusConnection bus_;
    QList<Key> keys_;
};

}  // namespace tolvane
