// The shared controls: both button styles at rest, disabled and held down, the progress bar,
// and the numbers that change while work runs.

#include <QGridLayout>
#include <QLabel>

#include "Tolvane/screenshots/ScreenshotScenes.h"
#include "Tolvane/ui/ElidedLabel.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaProgressBar.h"
#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane::screenshots {
namespace {

ElidedLabel* caption(const QString& text, QWidget* parent) {
    auto* label = new ElidedLabel(Qt::ElideRight, parent);
    label->setFont(VeskaTheme::font(VeskaTheme::captionSize));
    label->setColor(VeskaTheme::muted);
    label->setText(text);
    label->setMinimumWidth(label->sizeHint().width());
    return label;
}

QWidget* buttonStates(const VeskaButtonStyle& style, const QString& text, const QString& symbol,
                      const QString& symbolText) {
    auto* panel = new QWidget;
    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(6);
    const struct {
        const char* caption;
        bool enabled;
        bool down;
    } states[] = {{"사용 가능", true, false}, {"사용 불가", false, false}, {"누름", true, true}};
    int column = 0;
    for (const auto& state : states) {
        auto* button = new VeskaButton(text, style, panel);
        button->setEnabled(state.enabled);
        button->setDown(state.down);
        grid->addWidget(button, 0, column, Qt::AlignLeft | Qt::AlignVCenter);
        grid->addWidget(caption(QString::fromUtf8(state.caption), panel), 1, column);
        ++column;
    }
    auto* withSymbol = new VeskaButton(symbolText, style, panel);
    withSymbol->setSymbol(symbol);
    grid->addWidget(withSymbol, 0, column, Qt::AlignLeft | Qt::AlignVCenter);
    grid->addWidget(caption(QStringLiteral("기호"), panel), 1, column);
    return onCanvas(panel);
}

QWidget* progressBars() {
    auto* panel = new QWidget;
    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(14);
    int row = 0;
    for (const double fraction : {0.0, 0.4, 1.0}) {
        auto* bar = new VeskaProgressBar(fraction, panel);
        bar->setFixedWidth(320);
        grid->addWidget(bar, row, 0, Qt::AlignVCenter);
        grid->addWidget(
            caption(VeskaProgressBar::percentText(fraction, QLocale(QLocale::Korean)), panel), row,
            1);
        ++row;
    }
    return onCanvas(panel);
}

// One number as a running job shows it, on a box exactly as wide as the text: boxes of the
// same shape are of one width whatever the digits.
QLabel* figures(const QString& text, int pixelSize, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(VeskaTheme::tabularFont(pixelSize));
    label->setAutoFillBackground(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, VeskaTheme::divider.in(*parent));
    label->setPalette(palette);
    label->setFixedSize(label->sizeHint());
    return label;
}

QWidget* changingNumbers() {
    auto* panel = new QWidget;
    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(24);
    grid->setVerticalSpacing(6);
    const char* const columns[][4] = {
        {"1.1 MB / 128.5 MB", "44.4 MB / 128.5 MB", "71.7 MB / 128.5 MB", "88.8 MB / 128.5 MB"},
        {"전체 1%", "전체 11%", "전체 47%", "전체 88%"},
        {"1", "7", "1,118", "8,421"},
    };
    int column = 0;
    for (const auto& texts : columns) {
        int row = 0;
        for (const int size : {VeskaTheme::captionSize, VeskaTheme::bodySize}) {
            for (const char* text : texts) {
                grid->addWidget(figures(QString::fromUtf8(text), size, panel), row++, column,
                                Qt::AlignLeft);
            }
            grid->setRowMinimumHeight(row++, 10);
        }
        ++column;
    }
    return onCanvas(panel);
}

const bool registered = registerScenes({
    {QStringLiteral("primary-button"),
     [] {
         return buttonStates(VeskaPrimaryButtonStyle(), QStringLiteral("ZIP 만들기"),
                             QStringLiteral("archivebox.fill"), QStringLiteral("링크 만들기"));
     }},
    {QStringLiteral("secondary-button"),
     [] {
         return buttonStates(VeskaSecondaryButtonStyle(), QStringLiteral("취소"),
                             QStringLiteral("plus"), QStringLiteral("추가"));
     }},
    {QStringLiteral("progress-bar"), [] { return progressBars(); }},
    {QStringLiteral("changing-numbers"), [] { return changingNumbers(); }},
});

}  // namespace
}  // namespace tolvane::screenshots
