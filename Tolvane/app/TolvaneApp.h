#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

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
// windows over them with their menus ("파일" with a new window and the quit item, "모양" with the
// stored appearance), the quit protocol behind every way of quitting, and the hand-off of the
// URLs the application is asked to open to the sign-in library.
class TolvaneApp final : public QObject {
    Q_OBJECT

public:
    // The stored appearance: "dark" (also for a missing or unknown value), "light" or "system".
    static constexpr const char* appearanceKey = "veska.appearance";

    explicit TolvaneApp(QApplication& application, QObject* parent = nullptr);
    ~TolvaneApp() override;

    // Opens one more window over the shared models and brings it to the front.
    void openWindow();
    // Brings the frontmost window forward, or opens one when none is open.
    void activate();
    // Every URL goes to the sign-in library, whatever it answers.
    void openURLs(const QStringList& urls);
    // Stores the choice and redraws every window in it.
    void setAppearance(const QString& value);
    // The quit item, Ctrl+Q from any window, closing the last window: a sheet, panel or dialog
    // still open is closed as its own cancel would, then the quit protocol decides.
    void requestQuit();

    TolvaneAppDelegate& delegate() noexcept { return delegate_; }

private:
    void createModels();
    void windowShown();
    int openWindowCount() const;

    QApplication& application_;
    TolvaneAppDelegate delegate_;
    QuitFromAnyWindow quitFromAnyWindow_;
    std::unique_ptr<VeskaAppearance> appearance_;
    std::unique_ptr<DeliveryJobModel> jobModel_;
    std::unique_ptr<GoogleConnectionModel> googleModel_;
    std::unique_ptr<MountWatcher> mountWatcher_;
    std::unique_ptr<ExternalVolumeStore> externalVolumes_;
    QList<QPointer<QMainWindow>> windows_;
};

}  // namespace tolvane
