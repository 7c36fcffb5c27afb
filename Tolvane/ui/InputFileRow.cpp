#include "Tolvane/ui/InputFileRow.h"

#include <QAbstractItemView>
#include <QFile>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

#include <algorithm>
#include <utility>

#include "Tolvane/ui/PlainToolTip.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaSymbol.h"
#include "Tolvane/ui/VeskaTheme.h"
#include "core/common/PathText.h"

namespace tolvane {

namespace {

constexpr int kindSymbolSize = 17;
constexpr int removeSymbolSize = 10;
// The remove button keeps a little room from the text before it.
constexpr int textGap = 4;

QString shown(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

// Line breaks would be drawn as nothing; a path may hold them, so they are shown as spaces.
QString oneLine(QString text) {
    text.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text;
}

QFont nameFont() {
    return VeskaTheme::font(VeskaTheme::bodySize, QFont::Medium);
}

QFont folderFont() {
    return VeskaTheme::font(VeskaTheme::captionSize);
}

std::string urlAt(const QModelIndex& index) {
    return index.data(InputFileRow::urlRole).toByteArray().toStdString();
}

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

InputFileRow::InputFileRow(QObject* parent) : QStyledItemDelegate(parent) {}

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

InputFileRow::Lines InputFileRow::linesOf(const std::string& url, const QFontMetrics& name,
                                          const QFontMetrics& folder, int width) {
    return {name.elidedText(oneLine(nameOf(url)), Qt::ElideMiddle, width),
            folder.elidedText(oneLine(parentNameOf(url)), Qt::ElideMiddle, width)};
}

int InputFileRow::rowHeight() {
    const int lines =
        QFontMetrics(nameFont()).height() + lineSpacing + QFontMetrics(folderFont()).height();
    // The divider under the row is part of it.
    return verticalPadding + std::max({iconHeight, lines, removeSide}) + verticalPadding + 1;
}

QRect InputFileRow::contentRect(const QRect& item) {
    return item.adjusted(leadingInset, 0, -trailingInset, 0);
}

QRect InputFileRow::textRect(const QRect& item) {
    const QRect row = contentRect(item);
    const int left = row.left() + iconWidth + spacing;
    const int right = removeRect(item).left() - spacing - textGap - spacing;
    return {left, row.top(), std::max(0, right - left), row.height() - 1};
}

QRect InputFileRow::removeRect(const QRect& item) {
    const QRect row = contentRect(item);
    const int content = row.height() - 1;
    return {row.right() + 1 - removeSide, row.top() + (content - removeSide) / 2, removeSide,
            removeSide};
}

QPixmap InputFileRow::symbol(const QString& name, int size, const QColor& tint, qreal ratio) const {
    const QString key = name + QLatin1Char('/') + QString::number(size) + QLatin1Char('/') +
                        QString::number(tint.rgba(), 16) + QLatin1Char('/') +
                        QString::number(ratio);
    auto found = symbols_.constFind(key);
    if (found == symbols_.constEnd()) {
        found = symbols_.insert(key, VeskaSymbol::pixmap(name, size, tint, ratio));
    }
    return *found;
}

void InputFileRow::paint(QPainter* painter, const QStyleOptionViewItem& option,
                         const QModelIndex& index) const {
    const QWidget* widget = option.widget;
    if (widget == nullptr) {
        return;
    }
    const std::string url = urlAt(index);
    const QRect row = contentRect(option.rect);
    const int content = row.height() - 1;
    const qreal ratio = painter->device()->devicePixelRatioF();
    const bool enabled =
        (option.state & QStyle::State_Enabled) != 0 && index.data(removableRole).toBool();
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);

    // The kind icon on its tile.
    // On whole pixels, as a laid-out widget would be: a tile between pixels draws blurred edges.
    const QRectF tile(row.left(), row.top() + (content - iconHeight) / 2, iconWidth, iconHeight);
    QPainterPath tileShape;
    tileShape.addRoundedRect(tile, 9, 9);
    painter->fillPath(tileShape, VeskaTheme::raised.in(*widget));
    painter->drawPixmap(
        QPointF(tile.left() + (iconWidth - kindSymbolSize) / 2,
                tile.top() + (iconHeight - kindSymbolSize) / 2),
        symbol(symbolFor(url), kindSymbolSize, VeskaTheme::muted.in(*widget), ratio));

    // The name over its folder, the pair centred in the row.
    const QRect text = textRect(option.rect);
    const QFontMetrics nameMetrics(nameFont());
    const QFontMetrics folderMetrics(folderFont());
    const Lines lines = linesOf(url, nameMetrics, folderMetrics, text.width());
    const int linesHeight = nameMetrics.height() + lineSpacing + folderMetrics.height();
    const int top = row.top() + (content - linesHeight) / 2;
    painter->setFont(nameFont());
    painter->setPen(option.palette.color(
        enabled ? option.palette.currentColorGroup() : QPalette::Disabled, QPalette::WindowText));
    painter->drawText(QRect(text.left(), top, text.width(), nameMetrics.height()),
                      Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, lines.name);
    painter->setFont(folderFont());
    painter->setPen(VeskaTheme::muted.in(*widget));
    painter->drawText(QRect(text.left(), top + nameMetrics.height() + lineSpacing, text.width(),
                            folderMetrics.height()),
                      Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, lines.folder);

    // The remove button, as the plain symbol button draws itself.
    const QRect button = removeRect(option.rect);
    QColor mark = VeskaTheme::muted.in(*widget);
    if (!enabled) {
        mark.setAlphaF(VeskaButtonStyle::disabledOpacity);
    } else if (pressed_.isValid() && pressed_ == index) {
        mark.setAlphaF(0.6);
    }
    painter->drawPixmap(button.left() + (removeSide - removeSymbolSize) / 2,
                        button.top() + (removeSide - removeSymbolSize) / 2,
                        symbol(QStringLiteral("xmark"), removeSymbolSize, mark, ratio));
    if (option.state & QStyle::State_HasFocus) {
        painter->setPen(QPen(mark, 1.0));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(QRectF(button).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    }

    if (index.row() + 1 < index.model()->rowCount(index.parent())) {
        painter->fillRect(QRect(row.left() + separatorIndent, row.top() + content,
                                row.width() - separatorIndent, 1),
                          VeskaTheme::divider.in(*widget));
    }
    painter->restore();
}

QSize InputFileRow::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return {option.rect.width(), rowHeight()};
}

bool InputFileRow::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                             const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event == nullptr || view == nullptr || event->type() != QEvent::ToolTip ||
        !index.isValid()) {
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    // The button has its own help; everywhere else the row shows the input's full path.
    const QString tip = removeRect(option.rect).contains(event->pos())
                            ? removeHelp
                            : plainToolTip(pathOf(urlAt(index)));
    QToolTip::showText(event->globalPos(), tip, view->viewport(), option.rect);
    return true;
}

}  // namespace tolvane
