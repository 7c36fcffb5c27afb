#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QVariantMap>

#include <optional>

#include "platform/volumes/MountedVolumes.h"

namespace tolvane::UDisks2 {

inline constexpr const char* service = "org.freedesktop.UDisks2";
inline constexpr const char* managerPath = "/org/freedesktop/UDisks2";
inline constexpr const char* blockInterface = "org.freedesktop.UDisks2.Block";

// The answer of org.freedesktop.DBus.ObjectManager.GetManagedObjects, a{oa{sa{sv}}}: every
// object with the properties of each of its interfaces.
using InterfaceProperties = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, InterfaceProperties>;

// Lets Qt D-Bus marshal the types above; safe to call more than once.
void registerTypes();

// The objects of a GetManagedObjects reply; nothing for an error or an answer of another shape.
std::optional<ManagedObjects> managedObjects(const QDBusMessage& reply);

// Whether UDisks2 counts each block device as a system device (its HintSystem), by device number.
// The cleartext device of an unlocked encrypted volume has no drive of its own, so it also counts
// as non-system when the device under it does. Nothing when UDisks2 does not answer.
std::optional<MountedVolumes::SystemDiskHints> systemDiskHints(const QDBusConnection& bus);

}  // namespace tolvane::UDisks2

Q_DECLARE_METATYPE(tolvane::UDisks2::InterfaceProperties)
Q_DECLARE_METATYPE(tolvane::UDisks2::ManagedObjects)
