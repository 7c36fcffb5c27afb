// Veska: one application per user; a later launch hands its URLs to the running one and ends.

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>

#include "Tolvane/app/SingleInstance.h"
#include "Tolvane/app/TerminationSignals.h"
#include "Tolvane/app/TolvaneApp.h"
#include "Tolvane/model/ApplicationStartup.h"
#include "Tolvane/model/BackgroundWork.h"

int main(int argc, char** argv) {
    tolvane::prepareApplicationProcess();
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tolvane"));
    QApplication::setApplicationName(QStringLiteral("Veska"));
    // Matches the desktop entry, so that the desktop shows the window under its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("tolvane"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/veska/Veska.svg")));
    // Qt's own dialogs (the file panels, the message boxes' standard texts) speak Korean like the
    // rest of the window, whatever the desktop's language.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Korean, QLocale::SouthKorea), QStringLiteral("qtbase"),
                     QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qtTexts);
    }

    {
        const QStringList urls =
            tolvane::SingleInstance::urlArguments(application.arguments().mid(1));
        tolvane::SingleInstance instance(tolvane::SingleInstance::defaultFolder());
        if (!instance.claim(urls)) {
            return 0;
        }
        tolvane::TolvaneApp app(application);
        QObject::connect(&instance, &tolvane::SingleInstance::launched, &app,
                         [&app](const QStringList& forwarded) {
                             app.activate();
                             app.openURLs(forwarded);
                         });
        tolvane::TerminationSignals termination;
        QObject::connect(&termination, &tolvane::TerminationSignals::requested, &app,
                         [&app] { app.delegate().requestQuitWithoutAsking(); });
        app.openWindow();
        app.openURLs(urls);
        application.exec();
    }
    // The models asked everything they started to stop as they went away. Work that has not
    // ended by now cannot be stopped (a keyring waiting for the user, an eject UDisks2 is
    // carrying out) and is left to itself: nothing of ours is half-done by leaving, and the
    // process ends without waiting for it or running the destructors it may still be using.
    if (!tolvane::WorkerPool::waitForAll(tolvane::stoppedWorkGrace)) {
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}
