#pragma once

#include <QWidget>

#include <functional>

#include "Tolvane/ui/WorkFacts.h"

namespace tolvane {

class DeliveryJobModel;
class GoogleConnectionModel;
class SymbolLabel;
class ThemedLabel;
class VeskaButton;

// The footer row outside a finished job: the no-overwrite note on the left and, on the right,
// the one action that fits the job: stop (Escape), the committing note, re-check or start
// (Return). It follows the models and keeps no state of its own.
class WorkFooterView final : public QWidget {
    Q_OBJECT

public:
    enum class Action { nothing, stop, finishing, recheck, start };

    // `start` asks for the destination and starts the job.
    WorkFooterView(DeliveryJobModel& model, GoogleConnectionModel& googleModel,
                   std::function<void()> start, QWidget* parent = nullptr);

    static Action action(const WorkFacts& facts);
    // Whether the start button may be pressed.
    static bool canStart(const WorkFacts& facts);

    Action shownAction() const noexcept { return shown_; }
    VeskaButton* startButton() const { return start_; }
    VeskaButton* stopButton() const { return stop_; }
    VeskaButton* recheckButton() const { return recheck_; }

private:
    void refresh();
    // The window's default and cancel keys press what the footer offers for them.
    void pressDefault();
    void pressCancel();

    DeliveryJobModel& model_;
    GoogleConnectionModel& googleModel_;
    Action shown_ = Action::nothing;
    SymbolLabel* note_ = nullptr;
    VeskaButton* stop_ = nullptr;
    ThemedLabel* finishing_ = nullptr;
    VeskaButton* recheck_ = nullptr;
    VeskaButton* start_ = nullptr;
};

}  // namespace tolvane
