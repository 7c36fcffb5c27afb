#include "platform/volumes/UDisks2Types.h"

#include <QByteArrayList>
#include <QDBusArgument>
#include <QDBusMetaType>

namespace tolvane::UDisks2 {
namespace {

// UDisks2 answers from its cache; a daemon that does not answer within this leaves the disks
// to sysfs rather than holding the volume list back.
constexpr int hintTimeoutMs = 10000;

}  // namespace

void registerTypes() {
    qDBusRegisterMetaType<QByteArrayList>();
    qDBusRegisterMetaType<InterfaceProperties>();
    qDBusRegisterMetaType<ManagedObjects>();
}

std::optional<ManagedObjects> managedObjects(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage) {
        return std::nullopt;
    }
    const QVariant answer = reply.arguments().value(0);
    if (!answer.canConvert<QDBusArgument>() ||
        answer.value<QDBusArgument>().currentSignature() != QLatin1String("a{oa{sa{sv}}}")) {
        return std::nullopt;
    }
    registerTypes();
    return qdbus_cast<ManagedObjects>(answer.value<QDBusArgument>());
}

std::optional<MountedVolumes::SystemDiskHints> systemDiskHints(const QDBusConnection& bus) {
    registerTypes();
    const QDBusMessage reply =
        bus.call(QDBusMessage::createMethodCall(
                     QString::fromLatin1(service), QString::fromLatin1(managerPath),
                     QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                     QStringLiteral("GetManagedObjects")),
                 QDBus::Block, hintTimeoutMs);
    const std::optional<ManagedObjects> objects = managedObjects(reply);
    if (!objects) {
        return std::nullopt;
    }
    struct Block {
        std::optional<std::uint64_t> number;
        bool isSystem;
        QDBusObjectPath backing;
    };
    std::map<QDBusObjectPath, Block> blocks;
    for (auto object = objects->begin(); object != objects->end(); ++object) {
        const auto block = object->find(QString::fromLatin1(blockInterface));
        if (block == object->end()) {
            continue;
        }
        const QVariant number = block->value(QStringLiteral("DeviceNumber"));
        const QVariant hint = block->value(QStringLiteral("HintSystem"));
        // Without the hint UDisks2 says nothing about the disk: sysfs decides.
        blocks[object.key()] = {
            number.isValid() && hint.isValid() ? std::optional(number.toULongLong()) : std::nullopt,
            hint.toBool(),
            block->value(QStringLiteral("CryptoBackingDevice")).value<QDBusObjectPath>()};
    }
    MountedVolumes::SystemDiskHints hints;
    for (const auto& [path, block] : blocks) {
        if (!block.number) {
            continue;
        }
        bool isSystem = block.isSystem;
        if (const auto backing = blocks.find(block.backing);
            isSystem && backing != blocks.end() && backing->second.number) {
            isSystem = backing->second.isSystem;
        }
        hints[*block.number] = isSystem;
    }
    return hints;
}

}  // namespace tolvane::UDisks2
