#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "Tolvane/app/QuitFromAnyWindow.h"
#include "Tolvane/app/TolvaneAppDelegate.h"

class QApplication;
class QMainWindow;

namespace tolvane {

class DeliveryJobModel;
class ExternalVolumeStore;
class GoogleConnectionModel;
class MountWatcher;
class VeskaAppearance;

// The application: the three models every window shares for the life of the process, the
// windows over them with their menus ("파일" with a new window, closing the window and the quit
// item, "모양" with the stored appearance, "창" with minimising), the quit protocol behind every
// way of quitting, and the hand-off of the URLs the application is asked to open to the sign-in
// library.
class TolvaneApp final : public QObject {
    Q_OBJECT

public:
    // The stored appearance: "dark" (also for a missing or unknown value), "light" or "system".
    static constexpr const char* appearanceKey = "veska.appearance";

    // What the application makes for itself. An empty member takes the system's own: the models
    // over the real disks, keyring and Drive, the volume store over the mount table and UDisks2,
    // the modal quit alert and the end of the event loop.
    struct Environment {
        std::function<std::unique_ptr<DeliveryJobModel>()> makeJobModel;
        std::function<std::unique_ptr<GoogleConnectionModel>()> makeGoogleModel;
        // Given the hook that asks for the user's attention when a volume is attached.
        std::function<std::unique_ptr<ExternalVolumeStore>(std::function<void()> onMount)>
            makeExternalVolumes;
        TolvaneAppDelegate::Hooks quit;
    };

    explicit TolvaneApp(QApplication& application, Environment environment = {},
                        QObject* parent = nullptr);
    ~TolvaneApp() override;

    // Opens one more window over the shared models and brings it to the front.
    void openWindow();
    // Brings the frontmost window forward, or opens one when none is open.
    void activate();
    // Every URL goes to the sign-in library, whatever it answers.
    void openURLs(const QStringList& urls);
    // Stores the choice and redraws every window in it.
    void setAppearance(const QString& value);
    // The quit item, Ctrl+Q from any window, closing the last window: the quit protocol decides,
    // and only when the quit goes ahead is a sheet, panel or dialog still open closed as its own
    // cancel would. A user who keeps working keeps them as they were.
    void requestQuit();

    TolvaneAppDelegate& delegate() noexcept { return delegate_; }
    // The windows still open, oldest first.
    QList<QMainWindow*> windows() const;

private:
    void createModels();
    void windowShown();
    int openWindowCount() const;
    // Whether closing `window` is a quit request: it is the last open main window.
    bool isLastWindow(const QWidget* window) const;

    QApplication& application_;
    TolvaneAppDelegate delegate_;
    Environment environment_;
    QuitFromAnyWindow quitFromAnyWindow_;
    std::unique_ptr<VeskaAppearance> appearance_;
    std::unique_ptr<DeliveryJobModel> jobModel_;
    std::unique_ptr<GoogleConnectionModel> googleModel_;
    std::unique_ptr<MountWatcher> mountWatcher_;
    std::unique_ptr<ExternalVolumeStore> externalVolumes_;
    QList<QPointer<QMainWindow>> windows_;
};

}  // namespace tolvane
