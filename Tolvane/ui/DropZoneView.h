#pragma once

#include <QString>
#include <QWidget>

#include <functional>

class QLabel;

namespace tolvane {

class VeskaButton;

// The empty workspace: invites the user to drop files, folders or a ZIP, lights up while a drag
// is over the card, and offers "파일 선택" (also Ctrl+O) for the file panel.
class DropZoneView final : public QWidget {
    Q_OBJECT

public:
    DropZoneView(std::function<void()> chooseFiles, QWidget* parent = nullptr);

    void setTargeted(bool targeted);
    bool isTargeted() const noexcept { return targeted_; }

    static QString title(bool targeted);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool targeted_ = false;
    QLabel* title_ = nullptr;
};

// The application icon of our own, drawn at `size` points; a null pixmap when it cannot be read.
QPixmap veskaIcon(int size, qreal devicePixelRatio);

}  // namespace tolvane
