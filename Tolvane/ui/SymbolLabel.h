#pragma once

#include <QAbstractButton>
#include <QString>
#include <QWidget>

#include <optional>

#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane {

// A symbol followed by one line of plain text, both in one theme colour (the window text colour
// when none is set). Text too long for the width is cut with an ellipsis and shown whole in the
// tooltip.
class SymbolLabel final : public QWidget {
    Q_OBJECT

public:
    SymbolLabel(const QString& symbol, const QString& text, QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return text_; }
    void setSymbol(const QString& symbol);
    void setColor(const AdaptiveColor& color);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int symbolSize() const;
    void updateToolTip();

    QString symbol_;
    QString text_;
    std::optional<AdaptiveColor> color_;
};

// The header of a section that folds: a chevron (right when folded, down when unfolded), an
// optional symbol and a line of plain text. Checked means unfolded.
class DisclosureButton final : public QAbstractButton {
    Q_OBJECT

public:
    DisclosureButton(const QString& text, QWidget* parent = nullptr);

    void setSymbol(const QString& symbol);
    void setColor(const AdaptiveColor& color);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    AdaptiveColor color_ = VeskaTheme::muted;
};

}  // namespace tolvane
