// Renders every registered scene offscreen, in the dark and the light appearance, into
// <output>/<scene>-<dark|light>.png.
//
//   tolvane_screenshots <output folder> [--scale 1|2] [scene name ...]

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTextStream>

#include <memory>
#include <utility>

#include "Tolvane/screenshots/ScreenshotScenes.h"
#include "Tolvane/ui/VeskaAppearance.h"

using namespace tolvane;

namespace {

// The offscreen platform warns about every fixed-size window and every popup it cannot raise or
// give the keyboard; the warnings say nothing here.
void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QLatin1String("propagateSizeHints")) ||
        message.startsWith(QLatin1String("This plugin does not support"))) {
        return;
    }
    qt_message_output(type, context, message);
}

int usage() {
    QTextStream(stderr) << "usage: tolvane_screenshots <output folder> [--scale 1|2] [scene ...]\n";
    return 2;
}

bool render(const screenshots::Scene& scene, Appearance appearance, const QString& folder) {
    auto& application = *qApp;
    VeskaAppearance::apply(static_cast<QApplication&>(application), appearance);
    std::unique_ptr<QWidget> widget(scene.build());
    widget->show();
    // Shown (the offscreen platform draws nowhere) and active, as the window the user works in,
    // so that the focused field looks focused.
    widget->activateWindow();
    screenshots::settleLayout(*widget);
    const QPixmap picture = widget->grab();
    const QString path = folder + "/" + scene.name + "-" +
                         (appearance == Appearance::dark ? "dark" : "light") + ".png";
    if (!picture.save(path, "PNG")) {
        QTextStream(stderr) << "tolvane_screenshots: cannot write " << path << "\n";
        return false;
    }
    QTextStream(stdout) << path << "\n";
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // The scale must be known before the application object reads the screen.
    QByteArray scale = "2";
    QStringList wanted;
    QString folder;
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument = argv[i];
        if (argument == "--scale" && i + 1 < argc) {
            scale = argv[++i];
        } else if (folder.isEmpty()) {
            folder = QString::fromLocal8Bit(argument);
        } else {
            wanted << QString::fromLocal8Bit(argument);
        }
    }
    if (folder.isEmpty() || (scale != "1" && scale != "2")) {
        return usage();
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_SCALE_FACTOR", scale);
    qInstallMessageHandler(quietHandler);
    QApplication application(argc, argv);

    if (!QDir().mkpath(folder)) {
        QTextStream(stderr) << "tolvane_screenshots: cannot create " << folder << "\n";
        return 1;
    }
    int failures = 0;
    int rendered = 0;
    for (const auto& scene : screenshots::allScenes()) {
        if (!wanted.isEmpty() && !wanted.contains(scene.name)) {
            continue;
        }
        for (const auto appearance : {Appearance::dark, Appearance::light}) {
            failures += render(scene, appearance, folder) ? 0 : 1;
            ++rendered;
        }
    }
    if (rendered == 0) {
        QTextStream(stderr) << "tolvane_screenshots: no scene matched\n";
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
