#include "Tolvane/ui/GoogleConnectionView.h"

#include <QPushButton>
#include <QVBoxLayout>

namespace tolvane {

GoogleConnectionView::GoogleConnectionView(GoogleConnectionModel&, QWidget* parent)
    : QDialog(parent) {
    setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(this);
    auto* close = new QPushButton(QStringLiteral("닫기"), this);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(close);
    setFixedSize(420, 300);
}

}  // namespace tolvane
