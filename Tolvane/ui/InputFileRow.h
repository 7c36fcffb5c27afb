#pragma once

#include <QAbstractButton>
#include <QHash>
#include <QPersistentModelIndex>
#include <QPixmap>
#include <QString>
#include <QStyledItemDelegate>

#include <string>

class QFontMetrics;

namespace tolvane {

// An icon-only button in the plain style: a muted symbol centred in a square that takes clicks
// anywhere in it.
class PlainSymbolButton final : public QAbstractButton {
    Q_OBJECT

public:
    PlainSymbolButton(QString symbol, int symbolSize, int side, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    int symbolSize_;
};

// One selected input as the input list draws it: an icon for its kind on a raised tile, its name
// and its parent folder (both shortened in the middle), and a remove button at the trailing
// edge; a divider line, indented past the icon, runs under every row but the last. The full path
// is the row's tooltip, "입력에서 제거" the button's.
//
// Only the rows on screen are ever drawn, so a selection of any size costs the same to show.
// The list tells the row which input it is, whether its button is held down and whether the
// keyboard is on it through the view it draws in (see InputListView).
class InputFileRow final : public QStyledItemDelegate {
    Q_OBJECT

public:
    // The input's path as the job model holds it (a folder ends in "/"), as bytes.
    static constexpr int urlRole = Qt::UserRole;
    // Whether the input can be removed now (a bool). Rows stay enabled either way, so that the
    // keyboard still moves through a list whose inputs wait for running work.
    static constexpr int removableRole = Qt::UserRole + 1;
    // The remove button's help.
    static inline const QString removeHelp = QStringLiteral("입력에서 제거");

    static constexpr int verticalPadding = 12;
    static constexpr int spacing = 12;
    static constexpr int iconWidth = 32;
    static constexpr int iconHeight = 36;
    static constexpr int lineSpacing = 3;
    static constexpr int removeSide = 28;
    static constexpr int separatorIndent = 44;
    // The row's content keeps clear of the card's edges; the list's scroll bar sits in the
    // trailing inset.
    static constexpr int leadingInset = 20;
    static constexpr int trailingInset = 14;

    // The two lines of a row at a width of text.
    struct Lines {
        QString name;
        QString folder;
    };

    explicit InputFileRow(QObject* parent = nullptr);

    // The symbol for the input's kind, read from the path alone.
    static QString symbolFor(const std::string& url);
    // The name and the parent folder's name, and the full path of the tooltip.
    static QString nameOf(const std::string& url);
    static QString parentNameOf(const std::string& url);
    static QString pathOf(const std::string& url);
    // The name and the folder as drawn in `width` pixels: shortened in the middle when they do
    // not fit, line breaks shown as spaces.
    static Lines linesOf(const std::string& url, const QFontMetrics& name,
                         const QFontMetrics& folder, int width);

    // The height of every row, its divider included.
    static int rowHeight();
    // Where the row's content, its text and its remove button lie in the rectangle the list
    // gives the row.
    static QRect contentRect(const QRect& item);
    static QRect textRect(const QRect& item);
    static QRect removeRect(const QRect& item);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // The row whose remove button is held down; none when the index is invalid.
    void setPressed(const QModelIndex& index) { pressed_ = index; }
    const QPersistentModelIndex& pressed() const { return pressed_; }

private:
    // Symbols are drawn from SVG; a list repaints often, so each tint is drawn once.
    QPixmap symbol(const QString& name, int size, const QColor& tint, qreal ratio) const;

    mutable QHash<QString, QPixmap> symbols_;
    QPersistentModelIndex pressed_;
};

}  // namespace tolvane
