// The main window from a selection to a running job: files selected, a refused mix, a pack at
// about 40 %, a failure and a stopped job.

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>

#include <functional>
#include <memory>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/screenshots/SceneWindow.h"
#include "Tolvane/screenshots/ScreenshotScenes.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/InputListView.h"
#include "Tolvane/ui/SymbolLabel.h"
#include "Tolvane/ui/WorkStatusView.h"

namespace tolvane::screenshots {
namespace {

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
