#pragma once

#include <QLocale>
#include <QScrollArea>
#include <QString>

#include <cstdint>
#include <optional>

#include "core/archive/ArchiveValues.h"

class QLabel;

namespace tolvane {

class ContentView;
class DeliveryJobModel;
class ExternalVolumeStore;
class GoogleConnectionModel;
class SymbolLabel;
class ThemedLabel;
class VeskaBusyIndicator;
class VeskaButton;

// The workspace once a job has finished with an output: what was made and from how much, the
// way to it in the file manager, the safe removal of the external volume holding a packed
// archive with how that went, the warnings the job left, and the Drive panel of the archive. It
// scrolls when the warnings and the Drive panel need more room than the card has.
//
// The eject and its messages belong to the window (ContentView), which tells the card to
// refresh() when they change; everything else the card follows on its own.
class ResultCardView final : public QScrollArea {
    Q_OBJECT

public:
    ResultCardView(ContentView& window, DeliveryJobModel& job, GoogleConnectionModel& google,
                   ExternalVolumeStore& volumes, QWidget* parent = nullptr);

    // The line under the file name: the number of files and their size, and the archive's size
    // for a pack ("3개 파일 · 2.1 MB → 1.4 MB").
    static QString resultSummary(std::uint64_t fileCount, std::uint64_t sourceBytes,
                                 const std::optional<VerifiedArchive>& archive,
                                 const QLocale& locale = QLocale());
    // A file name in at most two lines of the width, cut in the middle when longer.
    static QString twoLineName(const QString& name, const QFontMetrics& metrics, int width);

    void refresh();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateFileName();

    ContentView& window_;
    DeliveryJobModel& job_;
    GoogleConnectionModel& google_;
    ExternalVolumeStore& volumes_;

    QLabel* title_ = nullptr;
    QLabel* fileName_ = nullptr;
    QString fullFileName_;
    ThemedLabel* summary_ = nullptr;
    VeskaButton* reveal_ = nullptr;
    VeskaButton* eject_ = nullptr;
    VeskaBusyIndicator* ejecting_ = nullptr;
    SymbolLabel* ejected_ = nullptr;
    ThemedLabel* ejectionError_ = nullptr;
    ThemedLabel* cleanupWarning_ = nullptr;
    ThemedLabel* droppedAttributesWarning_ = nullptr;
};

}  // namespace tolvane
