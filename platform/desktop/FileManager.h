#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QUrl>

#include <functional>
#include <string>

namespace tolvane {

// Shows a file to the user in the desktop's file manager, selected in its folder.
class FileManager {
public:
    FileManager() = delete;

    // Opens a folder (or any URL) the desktop's usual way.
    using OpenURL = std::function<void(const QUrl&)>;

    // Asks the file manager over the session bus to show the file selected; when no file
    // manager answers (none runs, or it refuses), opens the folder holding the file instead. The
    // call does not wait: the answer is handled on the context's thread, and not at all once the
    // context is gone.
    static void reveal(const std::string& path, QObject* context);
    // The same over another bus and with another way of opening the folder (tests).
    static void reveal(const std::string& path, QObject* context, const QDBusConnection& bus,
                       OpenURL openFolder);

    // The file URL of a path of native bytes.
    static QUrl fileURL(const std::string& path);
};

}  // namespace tolvane
