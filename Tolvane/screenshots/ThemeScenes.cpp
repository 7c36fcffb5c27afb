// The shared controls: both button styles at rest, disabled and held down, and the progress bar.

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
});

}  // namespace
}  // namespace tolvane::screenshots
