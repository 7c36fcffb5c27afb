#pragma once

#include <QObject>

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/GoogleConnectionModel.h"

namespace tolvane::screenshots {

// A Google model (and a job model holding one finished archive) driven into a chosen state with
// scripted Drive operations instead of Google. It belongs to the scene's widget: make it a child
// of the widget the scene returns. Operations that the scene holds wait until it is destroyed.
class GoogleSceneModel final : public QObject {
public:
    // What one scripted Drive operation does: report a progress value (if any), then return,
    // throw, or wait until the scene ends.
    struct Step {
        std::optional<DriveTransferProgress> progress;
        std::exception_ptr failure;
        bool hold = false;
        // Ignores the cancellation, so that "stopping" stays on screen.
        bool ignoreStop = false;
    };

    explicit GoogleSceneModel(std::optional<std::string> email = "jiwoo.kim@example.com");
    ~GoogleSceneModel() override;

    GoogleConnectionModel& google() { return *google_; }
    DeliveryJobModel& job() { return *job_; }

    // Connects the sample account (the restore finds it) and loads `pending`.
    void connectAccount();
    // Packs the sample archive: the job model then holds its verified archive.
    void packArchive(const std::string& name = "거래처 납품자료.zip");
    // The path of the packed archive.
    const std::string& archivePath() const { return archivePath_; }

    // Runs the event loop until the condition holds (at most a few seconds).
    static bool settle(const std::function<bool()>& condition);

    std::vector<DriveRecoveryItem> pending;
    std::exception_ptr listFailure;
    Step share, resume;
    std::exception_ptr linkFailure;
    // The link check waits until the scene ends, so that the check stays on screen.
    bool holdLinkCheck = false;
    DriveShareResult result{"file-1", "https://drive.google.com/file/d/1AbCdEf/view", "cafe",
                            DriveLinkRole::reader};

private:
    void run(const Step& step, const GoogleConnectionModel::ProgressHandler& progress,
             std::stop_token stop);

    std::string root_;
    std::string archivePath_;
    std::mutex mutex_;
    std::condition_variable_any ended_;
    bool ending_ = false;
    std::unique_ptr<DeliveryJobModel> job_;
    std::unique_ptr<GoogleConnectionModel> google_;
};

}  // namespace tolvane::screenshots
