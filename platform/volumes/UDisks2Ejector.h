#pragma once

#include <QDBusConnection>
#include <QString>

#include <stdexcept>
#include <string>

#include "platform/volumes/UDisks2Types.h"

namespace tolvane {

// UDisks2 refused (or could not be asked): what() is the system's own text, as it would tell
// the user; name is the D-Bus error name ("org.freedesktop.UDisks2.Error.DeviceBusy").
class VolumeEjectFailure : public std::runtime_error {
public:
    VolumeEjectFailure(const QString& name, const QString& message)
        : std::runtime_error(message.toStdString()), name_(name) {}
    const QString& name() const noexcept { return name_; }

private:
    QString name_;
};

namespace UDisks2Ejector {

inline constexpr const char* service = UDisks2::service;
inline constexpr const char* managerPath = UDisks2::managerPath;

// Makes the drive holding the file system mounted at mountPoint safe to remove: every mounted
// file system of that drive is unmounted, then the drive is powered off, or ejected when it
// cannot be powered off. A file system without a drive (a loop device) is only unmounted.
// Blocks until UDisks2 has answered every step, which may take as long as flushing the drive:
// call it off the GUI thread. Throws VolumeEjectFailure at the first refusal.
void unmountAndEject(const QDBusConnection& bus, const std::string& mountPoint);

}  // namespace UDisks2Ejector
}  // namespace tolvane
