#pragma once

#include <QDBusObjectPath>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QVariantMap>

namespace tolvane::UDisks2 {

// The answer of org.freedesktop.DBus.ObjectManager.GetManagedObjects, a{oa{sa{sv}}}: every
// object with the properties of each of its interfaces.
using InterfaceProperties = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, InterfaceProperties>;

// Lets Qt D-Bus marshal the types above; safe to call more than once.
void registerTypes();

}  // namespace tolvane::UDisks2

Q_DECLARE_METATYPE(tolvane::UDisks2::InterfaceProperties)
Q_DECLARE_METATYPE(tolvane::UDisks2::ManagedObjects)
