#pragma once

#include <QDialog>

namespace tolvane {

class GoogleConnectionModel;

// Stand-in until the account sheet lands: an empty window-modal sheet with the real signature.
class GoogleConnectionView : public QDialog {
    Q_OBJECT

public:
    GoogleConnectionView(GoogleConnectionModel& model, QWidget* parent);
};

}  // namespace tolvane
