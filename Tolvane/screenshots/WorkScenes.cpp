// The main window from a selection to a running job: files selected, a refused mix, a pack at
// about 40 %, a failure and a stopped job.

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/screenshots/SceneWindow.h"
#include "Tolvane/screenshots/ScreenshotScenes.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/InputListView.h"
#include "Tolvane/ui/SymbolLabel.h"
#include "Tolvane/ui/WorkStatusView.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/common/Progress.h"

namespace tolvane::screenshots {
namespace {

// How the sample pack ends: it stays at 40 % until the window goes, or it fails, or it stops.
enum class PackEnd { holdAtForty, sourceChanged, cancelled };

class SceneBackend final : public JobBackend {
public:
    explicit SceneBackend(PackEnd end) : end_(end) {}

    ArchiveInputSnapshot captureInputSnapshot(const std::vector<std::string>& sources,
                                              const std::string& manifest, Progress&,
                                              std::stop_token) override {
        return {manifest, sources.size(), 1'030'000'000, "ab", 1, 2};
    }
    PackReceipt pack(const std::vector<std::string>&, const std::string&, Progress& progress,
                     const ArchiveInputSnapshot&, std::stop_token stop) override {
        if (end_ == PackEnd::sourceChanged) {
            throw ArchivePipelineError::sourceChanged("size changed: 회의록.docx");
        }
        if (end_ == PackEnd::cancelled) {
            throw ArchivePipelineError::cancelled();
        }
        progress.setTotalUnitCount(100);
        progress.setCompletedUnitCount(40);
        progress.setUserInfo(ArchiveProgressInfo::stageKey,
                             std::string(ArchiveProgressInfo::Stage::packaging));
        progress.setUserInfo(ArchiveProgressInfo::stageCompletedBytesKey,
                             std::uint64_t(412'000'000));
        progress.setUserInfo(ArchiveProgressInfo::stageTotalBytesKey, std::uint64_t(1'030'000'000));
        std::mutex mutex;
        std::condition_variable_any never;
        std::unique_lock lock(mutex);
        never.wait(lock, stop, [] { return false; });
        throw ArchivePipelineError::cancelled();
    }
    UnpackReceipt unpack(const std::string&, const std::string&, Progress&,
                         std::stop_token) override {
        throw ArchivePipelineError::cancelled();
    }

private:
    PackEnd end_;
};

bool settle(const std::function<bool()>& reached) {
    const QDeadlineTimer deadline(10000);
    while (!reached() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return reached();
}

const std::vector<std::string> sampleFiles = {
    "/home/minji/문서/2024 하반기 사업계획서 최종본 (수정 3차) - 검토 의견 반영 완료 버전.pdf",
    "/home/minji/사진/제주 워크숍 2024/",
    "/home/minji/<i>보관함<i>/<b>굵게<i>.txt",
    "/home/minji/다운로드/회의록.docx",
};

struct Window {
    ContentView* view;
    DeliveryJobModel* job;
};

Window window(PackEnd end, const std::vector<std::string>& inputs) {
    auto* job =
        new DeliveryJobModel(std::make_shared<SceneBackend>(end), QDir::tempPath().toStdString());
    auto* view = sceneWindow(job, new GoogleConnectionModel());
    job->addInputs(inputs);
    settle([job] { return !job->isBusy(); });
    return {view, job};
}

Window packed(PackEnd end) {
    Window w = window(end, sampleFiles);
    w.job->startPacking("/home/minji/문서/Package.zip");
    settle([&] {
        return end == PackEnd::holdAtForty ? w.job->progressFraction() > 0.39 : !w.job->isBusy();
    });
    return w;
}

const bool registered = registerScenes({
    {QStringLiteral("work-selection"), [] { return window(PackEnd::cancelled, sampleFiles).view; }},
    {QStringLiteral("work-refused-mix"),
     [] {
         return window(PackEnd::cancelled,
                       {"/home/minji/다운로드/납품 자료 1차.zip",
                        "/home/minji/다운로드/납품 자료 2차.ZIP", "/home/minji/문서/회의록.docx"})
             .view;
     }},
    {QStringLiteral("work-packing"), [] { return packed(PackEnd::holdAtForty).view; }},
    {QStringLiteral("work-failed"),
     [] {
         Window w = packed(PackEnd::sourceChanged);
         // The failure's own detail unfolded, to show the whole failure text.
         if (auto* status = w.view->findChild<WorkStatusView*>()) {
             if (auto* more = status->findChild<DisclosureButton*>()) {
                 more->setChecked(true);
             }
         }
         return w.view;
     }},
    {QStringLiteral("work-cancelled"), [] { return packed(PackEnd::cancelled).view; }},
});

}  // namespace
}  // namespace tolvane::screenshots
