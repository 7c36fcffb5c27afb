#include "Tolvane/ui/SettingsPortal.h"

#include <QDBusPendingCallWatcher>
#include <QDBusVariant>

#include <utility>

namespace tolvane {

namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettingsInterface = QStringLiteral("org.freedesktop.portal.Settings");

}  // namespace

SettingsPortal::SettingsPortal(QDBusConnection bus, QList<Key> keys, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), keys_(std::move(keys)) {
    if (!bus_.isConnected()) {
        return;
    }
    // Subscribed before asking, so that a change between the answer and the subscription is not
    // missed; the portal sends both in the order it made them. The slot takes the whole message:
    // its three arguments are checked there.
    bus_.connect(kPortalService, kPortalPath, kSettingsInterface, QStringLiteral("SettingChanged"),
                 this, SLOT(settingChanged(QDBusMessage)));
    for (const Key& key : std::as_const(keys_)) {
        read(key, QStringLiteral("ReadOne"));
    }
}

QVariant SettingsPortal::unwrapped(QVariant value) {
    for (int depth = 0; depth < 3 && value.metaType() == QMetaType::fromType<QDBusVariant>();
         ++depth) {
        value = value.value<QDBusVariant>().variant();
    }
    return value;
}

void SettingsPortal::read(const Key& key, const QString& method) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kPortalService, kPortalPath, kSettingsInterface, method);
    call << key.group << key.name;
    // Asked asynchronously: the window must not wait for a portal that is slow or absent.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, key, method](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusMessage reply = finished->reply();
                if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
                    emit valueChanged(key.group, key.name,
                                      unwrapped(reply.arguments().constFirst()));
                } else if (method == QLatin1String("ReadOne") &&
                           reply.errorName() ==
                               QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")) {
                    read(key, QStringLiteral("Read"));
                }
            });
}

void SettingsPortal::settingChanged(const QDBusMessage& message) {
    const QVariantList arguments = message.arguments();
    if (arguments.size() != 3) {
        return;
    }
    const QString group = arguments[0].toString();
    const QString name = arguments[1].toString();
    if (isAskedFor(group, name)) {
        emit valueChanged(group, name, unwrapped(arguments[2]));
    }
}

bool SettingsPortal::isAskedFor(const QString& group, const QString& name) const {
    for (const Key& key : keys_) {
        if (key.group == group && key.name == name) {
            return true;
        }
    }
    return false;
}

}  // namespace tolvane
