#include "platform/volumes/UDisks2Ejector.h"

#include <QByteArrayList>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QVariantList>

#include <optional>
#include <utility>
#include <vector>

#include "platform/volumes/UDisks2Types.h"

namespace tolvane {

namespace UDisks2Ejector {
namespace {

constexpr const char* blockInterface = UDisks2::blockInterface;
constexpr const char* filesystemInterface = "org.freedesktop.UDisks2.Filesystem";
constexpr const char* driveInterface = "org.freedesktop.UDisks2.Drive";
constexpr const char* noObject = "/";

// Listing answers at once; unmounting waits for the drive's pending writes to reach it, and
// powering off for the drive to spin down, which on a slow stick takes minutes.
constexpr int listTimeoutMs = 25000;
constexpr int driveTimeoutMs = 30 * 60 * 1000;

struct Block {
    QString path;
    QString drive;
    QString cryptoBackingDevice;
    QByteArrayList mountPoints;
};

QDBusMessage call(const QDBusConnection& bus, const QString& path, const char* interface,
                  const char* method, const QVariantList& arguments, int timeoutMs) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    // Removing a disk another user mounted needs an administrator's consent, asked for by the
    // desktop's authentication agent.
    message.setInteractiveAuthorizationAllowed(true);
    const QDBusMessage reply = bus.call(message, QDBus::Block, timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        throw VolumeEjectFailure(reply.errorName(), reply.errorMessage());
    }
    return reply;
}

QString objectPath(const QVariant& value) {
    const QString path = value.value<QDBusObjectPath>().path();
    return path.isEmpty() ? QString::fromLatin1(noObject) : path;
}

// UDisks2 writes mount points as NUL-terminated byte strings.
QByteArrayList byteStrings(const QVariant& value) {
    QByteArrayList list = value.canConvert<QDBusArgument>()
                              ? qdbus_cast<QByteArrayList>(value.value<QDBusArgument>())
                              : value.value<QByteArrayList>();
    for (QByteArray& item : list) {
        while (item.endsWith('\0')) {
            item.chop(1);
        }
    }
    return list;
}

UDisks2::ManagedObjects managedObjects(const QDBusConnection& bus) {
    UDisks2::registerTypes();
    const QDBusMessage reply =
        call(bus, QString::fromLatin1(managerPath), "org.freedesktop.DBus.ObjectManager",
             "GetManagedObjects", {}, listTimeoutMs);
    std::optional<UDisks2::ManagedObjects> objects = UDisks2::managedObjects(reply);
    if (!objects) {
        throw VolumeEjectFailure(
            QStringLiteral("org.freedesktop.DBus.Error.InvalidSignature"),
            QStringLiteral("UDisks2 answered GetManagedObjects with %1").arg(reply.signature()));
    }
    return std::move(*objects);
}

std::vector<Block> blocksOf(const UDisks2::ManagedObjects& objects) {
    std::vector<Block> blocks;
    for (auto object = objects.begin(); object != objects.end(); ++object) {
        const auto block = object->find(QString::fromLatin1(blockInterface));
        if (block == object->end()) {
            continue;
        }
        Block item{object.key().path(),
                   objectPath(block->value(QStringLiteral("Drive"))),
                   objectPath(block->value(QStringLiteral("CryptoBackingDevice"))),
                   {}};
        const auto filesystem = object->find(QString::fromLatin1(filesystemInterface));
        if (filesystem != object->end()) {
            item.mountPoints = byteStrings(filesystem->value(QStringLiteral("MountPoints")));
        }
        blocks.push_back(std::move(item));
    }
    return blocks;
}

// The drive of a block, looking through an unlocked encrypted device to the partition under it.
QString driveOf(const Block& block, const std::vector<Block>& blocks) {
    if (block.drive != QLatin1String(noObject)) {
        return block.drive;
    }
    for (const Block& other : blocks) {
        if (other.path == block.cryptoBackingDevice) {
            return other.drive;
        }
    }
    return QString::fromLatin1(noObject);
}

void unmount(const QDBusConnection& bus, const Block& block) {
    call(bus, block.path, filesystemInterface, "Unmount", {QVariant::fromValue(QVariantMap())},
         driveTimeoutMs);
}

}  // namespace

void unmountAndEject(const QDBusConnection& bus, const std::string& mountPoint) {
    const UDisks2::ManagedObjects objects = managedObjects(bus);
    const std::vector<Block> blocks = blocksOf(objects);
    const QByteArray wanted = QByteArray::fromStdString(mountPoint);
    const Block* target = nullptr;
    for (const Block& block : blocks) {
        if (block.mountPoints.contains(wanted)) {
            target = &block;
            break;
        }
    }
    if (target == nullptr) {
        throw VolumeEjectFailure(QStringLiteral("org.freedesktop.UDisks2.Error.NotFound"),
                                 QStringLiteral("No file system known to UDisks2 is mounted at %1")
                                     .arg(QString::fromStdString(mountPoint)));
    }
    const QString drive = driveOf(*target, blocks);
    if (drive == QLatin1String(noObject)) {
        unmount(bus, *target);
        return;
    }

    // The volume the user asked for first, so that a refusal names the disk they know.
    unmount(bus, *target);
    for (const Block& block : blocks) {
        if (&block != target && !block.mountPoints.isEmpty() && driveOf(block, blocks) == drive) {
            unmount(bus, block);
        }
    }

    const UDisks2::InterfaceProperties driveObject =
        objects.value(QDBusObjectPath(drive), UDisks2::InterfaceProperties());
    const QVariantMap properties = driveObject.value(QString::fromLatin1(driveInterface));
    const QVariantList options{QVariant::fromValue(QVariantMap())};
    if (properties.value(QStringLiteral("CanPowerOff")).toBool()) {
        call(bus, drive, driveInterface, "PowerOff", options, driveTimeoutMs);
    } else if (properties.value(QStringLiteral("Ejectable")).toBool()) {
        call(bus, drive, driveInterface, "Eject", options, driveTimeoutMs);
    }
}

}  // namespace UDisks2Ejector
}  // namespace tolvane
