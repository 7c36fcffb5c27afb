#pragma once

#include <QLocale>
#include <QString>
#include <QWidget>

namespace tolvane {

// The thin progress bar of the main window and the share panel: a divider-coloured track with a
// lime fill, 5 pixels high and as wide as its parent allows. Assistive technology reads it as a
// progress bar with a value from 0 to 100 and the percentage in the user's locale as its text.
class VeskaProgressBar final : public QWidget {
    Q_OBJECT
public:
    explicit VeskaProgressBar(double fraction = 0, QWidget* parent = nullptr);

    static constexpr int barHeight = 5;
    // The range its value is read out in.
    static constexpr double minimumValue = 0;
    static constexpr double maximumValue = 100;

    void setFraction(double fraction);
    double fraction() const noexcept { return fraction_; }

    // The share drawn: 0 at or below 0, 1 above 1, the fraction itself between; a fraction that
    // is not a number draws nothing.
    static double clampedFraction(double fraction) noexcept;
    // The value read out to assistive technology: the drawn share within the range above.
    static double accessibleValue(double fraction) noexcept;
    // The share read out to assistive technology, as a whole percentage in the locale ("40%").
    static QString percentText(double fraction, const QLocale& locale = QLocale());

    QSize sizeHint() const override { return {200, barHeight}; }
    QSize minimumSizeHint() const override { return {0, barHeight}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double fraction_ = 0;
};

}  // namespace tolvane
