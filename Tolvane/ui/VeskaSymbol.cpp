#include "Tolvane/ui/VeskaSymbol.h"

#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QStandardPaths>
#include <QStringList>
#include <QSvgRenderer>

#include <cmath>

namespace tolvane {

namespace {

const QHash<QString, QString>& symbolTable() {
    static const QHash<QString, QString> table = {
        {"plus", "list-add-symbolic"},
        {"trash", "user-trash-symbolic"},
        {"eject", "media-eject-symbolic"},
        {"folder", "folder-symbolic"},
        {"xmark", "window-close-symbolic"},
        {"checkmark", "object-select-symbolic"},
        {"checkmark.circle.fill", "emblem-ok-symbolic"},
        {"checkmark.shield", "security-high-symbolic"},
        {"link", "insert-link-symbolic"},
        {"doc.on.doc", "edit-copy-symbolic"},
        {"doc", "text-x-generic-symbolic"},
        {"arrow.up.right", "go-jump-symbolic"},
        {"arrow.clockwise", "view-refresh-symbolic"},
        {"externaldrive", "drive-removable-media-symbolic"},
        {"archivebox", "package-x-generic-symbolic"},
        {"archivebox.fill", "package-x-generic-symbolic"},
        {"tray.and.arrow.down", "folder-download-symbolic"},
        {"ellipsis", "view-more-symbolic"},
        {"hourglass", "content-loading-symbolic"},
        {"pause.circle", "media-playback-pause-symbolic"},
        {"exclamationmark.triangle", "dialog-warning-symbolic"},
        {"clock.arrow.circlepath", "document-open-recent-symbolic"},
        {"chevron.right", "pan-end-symbolic"},
        {"chevron.down", "pan-down-symbolic"},
    };
    return table;
}

QString findIconFile(const QString& iconName) {
    static const QStringList contexts = {"actions",   "places", "devices", "status",     "emblems",
                                         "mimetypes", "ui",     "apps",    "categories", "legacy"};
    const QStringList roots =
        QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
    for (const QString& root : roots) {
        for (const QString& context : contexts) {
            const QString path =
                root + "/icons/Adwaita/scalable/" + context + "/" + iconName + ".svg";
            if (QFileInfo(path).isFile()) {
                return path;
            }
        }
    }
    return {};
}

}  // namespace

QString VeskaSymbol::iconName(const QString& symbol) {
    return symbolTable().value(symbol);
}

QString VeskaSymbol::file(const QString& symbol) {
    // Looked up once per symbol: the screens repaint often and the theme does not move.
    static QHash<QString, QString> found;
    const auto known = found.constFind(symbol);
    if (known != found.constEnd()) {
        return *known;
    }
    const QString name = iconName(symbol);
    const QString path = name.isEmpty() ? QString() : findIconFile(name);
    found.insert(symbol, path);
    return path;
}

QPixmap VeskaSymbol::pixmap(const QString& symbol, int size, const QColor& tint,
                            qreal devicePixelRatio) {
    const QString path = file(symbol);
    if (path.isEmpty() || size <= 0) {
        return {};
    }
    QSvgRenderer renderer(path);
    if (!renderer.isValid()) {
        return {};
    }
    const int pixels = static_cast<int>(std::ceil(size * devicePixelRatio));
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, pixels, pixels));
        // Symbolic icons are drawn in one grey; keep their shape and give it the tint.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), tint);
    }
    image.setDevicePixelRatio(devicePixelRatio);
    return QPixmap::fromImage(std::move(image));
}

}  // namespace tolvane
