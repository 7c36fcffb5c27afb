#pragma once

#include <QWidget>

namespace tolvane {

class GoogleConnectionModel;

// Stand-in until the recovery list lands: shows nothing.
class DriveRecoveryView : public QWidget {
    Q_OBJECT

public:
    DriveRecoveryView(GoogleConnectionModel& model, QWidget* parent = nullptr);
};

}  // namespace tolvane
