#include "Tolvane/ui/InputFileRow.h"

#include <QAbstractButton>
#include <QFile>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <utility>

#include "Tolvane/ui/ElidedLabel.h"
#include "Tolvane/ui/PlainToolTip.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaSymbol.h"
#include "Tolvane/ui/VeskaTheme.h"
#include "core/common/PathText.h"

namespace tolvane {

namespace {

QString shown(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

// The kind icon on its raised rounded tile.
class KindIcon final : public QWidget {
public:
    KindIcon(QString symbol, QWidget* parent) : QWidget(parent), symbol_(std::move(symbol)) {
        setFixedSize(32, 36);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath tile;
        tile.addRoundedRect(QRectF(rect()), 9, 9);
        painter.fillPath(tile, VeskaTheme::raised.in(*this));
        constexpr int size = 17;
        const QPixmap icon =
            VeskaSymbol::pixmap(symbol_, size, VeskaTheme::muted.in(*this), devicePixelRatioF());
        painter.drawPixmap((width() - size) / 2, (height() - size) / 2, icon);
    }

private:
    QString symbol_;
};

}  // namespace

PlainSymbolButton::PlainSymbolButton(QString symbol, int symbolSize, int side, QWidget* parent)
    : QAbstractButton(parent), symbol_(std::move(symbol)), symbolSize_(symbolSize) {
    setFixedSize(side, side);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

void PlainSymbolButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor colour = VeskaTheme::muted.in(*this);
    if (!isEnabled()) {
        colour.setAlphaF(VeskaButtonStyle::disabledOpacity);
    } else if (isDown()) {
        colour.setAlphaF(0.6);
    }
    const QPixmap symbol = VeskaSymbol::pixmap(symbol_, symbolSize_, colour, devicePixelRatioF());
    painter.drawPixmap((width() - symbolSize_) / 2, (height() - symbolSize_) / 2, symbol);
    if (hasFocus()) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(colour, 1.0));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    }
}

QString InputFileRow::symbolFor(const std::string& url) {
    if (PathText::isDirectoryURL(url)) {
        return QStringLiteral("folder");
    }
    if (shown(PathText::pathExtension(url)).toLower() == QLatin1String("zip")) {
        return QStringLiteral("archivebox");
    }
    return QStringLiteral("doc");
}

QString InputFileRow::nameOf(const std::string& url) {
    return shown(PathText::lastComponent(url));
}

QString InputFileRow::parentNameOf(const std::string& url) {
    return shown(PathText::lastComponent(PathText::deletingLastComponent(url)));
}

QString InputFileRow::pathOf(const std::string& url) {
    return shown(PathText::standardized(url));
}

InputFileRow::InputFileRow(std::string url, std::function<void()> remove, QWidget* parent)
    : QWidget(parent), url_(std::move(url)) {
    setToolTip(plainToolTip(pathOf(url_)));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 12, 0, 12);
    row->setSpacing(12);
    row->addWidget(new KindIcon(symbolFor(url_), this), 0, Qt::AlignVCenter);

    auto* lines = new QVBoxLayout;
    lines->setSpacing(3);
    name_ = new ElidedLabel(Qt::ElideMiddle, this);
    name_->setFont(VeskaTheme::font(VeskaTheme::bodySize, QFont::Medium));
    name_->setText(nameOf(url_));
    auto* folder = new ElidedLabel(Qt::ElideMiddle, this);
    folder->setFont(VeskaTheme::font(VeskaTheme::captionSize));
    folder->setColor(VeskaTheme::muted);
    folder->setText(parentNameOf(url_));
    lines->addWidget(name_);
    lines->addWidget(folder);
    row->addLayout(lines, 1);
    row->addSpacing(4);

    remove_ = new PlainSymbolButton(QStringLiteral("xmark"), 10, 28, this);
    remove_->setToolTip(QStringLiteral("입력에서 제거"));
    remove_->setAccessibleName(nameOf(url_) + QStringLiteral(" 제거"));
    connect(remove_, &QAbstractButton::clicked, this, [remove = std::move(remove)] {
        if (remove) {
            remove();
        }
    });
    row->addWidget(remove_, 0, Qt::AlignVCenter);
}

}  // namespace tolvane
