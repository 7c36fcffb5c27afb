#pragma once

#include <QTimer>
#include <QWidget>

namespace tolvane {

// The small indeterminate activity indicator of the screens: a lime arc that turns while the
// indicator is shown. It animates only while visible, so a hidden one costs nothing.
class VeskaBusyIndicator final : public QWidget {
    Q_OBJECT

public:
    explicit VeskaBusyIndicator(QWidget* parent = nullptr);

    static constexpr int indicatorSize = 16;

    QSize sizeHint() const override { return {indicatorSize, indicatorSize}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer timer_;
    int angle_ = 0;
};

}  // namespace tolvane
