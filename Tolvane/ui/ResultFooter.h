#pragma once

#include <QWidget>

#include <optional>
#include <string>

#include "Tolvane/model/GoogleConnectionModel.h"

class QButtonGroup;

namespace tolvane {

class ContentView;
class DeliveryJobModel;
class ExternalVolumeStore;
class VeskaButton;

// The footer's controls once a job has finished: a new job, and for a packed archive that may
// still go to Drive the link role and "링크 만들기". The role and the dialogs belong to the window
// (ContentView); this row shows them and hands the presses on.
class ResultFooter final : public QWidget {
    Q_OBJECT

public:
    ResultFooter(ContentView& window, DeliveryJobModel& job, GoogleConnectionModel& google,
                 ExternalVolumeStore& volumes, QWidget* parent = nullptr);

    // Whether the finished archive may be offered for a Drive link: it is still there, its
    // volume was not ejected, and no share of it has begun (a share of another file, a
    // recovery or no transfer leave the offer open).
    static bool canOfferShare(const std::optional<std::string>& outputURL, bool outputExists,
                              bool volumeEjected,
                              const GoogleConnectionModel::TransferState& transfer);

    void refresh();

private:
    ContentView& window_;
    DeliveryJobModel& job_;
    GoogleConnectionModel& google_;
    ExternalVolumeStore& volumes_;

    VeskaButton* newJob_ = nullptr;
    QWidget* rolePicker_ = nullptr;
    QButtonGroup* roles_ = nullptr;
    VeskaButton* makeLink_ = nullptr;
};

}  // namespace tolvane
