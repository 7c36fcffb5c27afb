#include "Tolvane/ui/DriveRecoveryView.h"

namespace tolvane {

DriveRecoveryView::DriveRecoveryView(GoogleConnectionModel&, QWidget* parent) : QWidget(parent) {
    hide();
}

}  // namespace tolvane
