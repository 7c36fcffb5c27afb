#pragma once

#include <QLocale>
#include <QString>
#include <QWidget>

#include <optional>

#include "Tolvane/ui/WorkFacts.h"

namespace tolvane {

class DeliveryJobModel;
class DisclosureButton;
class ThemedLabel;
class VeskaBusyIndicator;
class VeskaProgressBar;

// The status block under the input list: a headline with the overall percentage, a spinner or
// bar while work runs, and the detail line (folded under "오류 상세" for failures). It follows the
// job model and keeps no state of its own.
class WorkStatusView final : public QWidget {
    Q_OBJECT

public:
    explicit WorkStatusView(DeliveryJobModel& model, QWidget* parent = nullptr);

    static QString statusTitle(const WorkFacts& facts);
    // None when no detail is shown.
    static std::optional<QString> statusDetail(const WorkFacts& facts,
                                               const QLocale& locale = QLocale());
    // "전체 40%" while busy with two or more units; none otherwise.
    static std::optional<QString> percentText(const WorkFacts& facts,
                                              const QLocale& locale = QLocale());
    // The spinner stands in for the bar while the amount of work is not known yet.
    static bool showsSpinner(const WorkFacts& facts);
    // Failures fold their detail under "오류 상세".
    static bool foldsDetail(const WorkFacts& facts);

    QString headline() const;
    QString detail() const;
    bool detailFolded() const;

private:
    void refresh();

    DeliveryJobModel& model_;
    ThemedLabel* title_ = nullptr;
    ThemedLabel* percent_ = nullptr;
    VeskaBusyIndicator* spinner_ = nullptr;
    VeskaProgressBar* bar_ = nullptr;
    DisclosureButton* disclosure_ = nullptr;
    ThemedLabel* detail_ = nullptr;
};

}  // namespace tolvane
