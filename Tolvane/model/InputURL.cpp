#include "Tolvane/model/InputURL.h"

#include <QSysInfo>

#include <sys/stat.h>

#include "core/common/PathText.h"

namespace tolvane::InputURL {

std::string fromLocalPath(const std::string& path) {
    struct stat status {};
    if (PathText::isDirectoryURL(path) || ::lstat(path.c_str(), &status) != 0 ||
        !S_ISDIR(status.st_mode)) {
        return path;
    }
    return path + "/";
}

LocalPath fromFileURL(const QUrl& url) {
    if (url.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) != 0) {
        return {};
    }
    // A query or fragment cuts the name short ("a#b.txt" reads as "a"): the whole URL says which.
    const QString shown = url.fileName().isEmpty() || url.hasQuery() || url.hasFragment()
                              ? url.toDisplayString()
                              : url.fileName();
    const LocalPath refused{LocalPath::Kind::inexact, shown.toStdString()};
    // Some file managers name this machine in the URL rather than leaving the host out.
    const QString host = url.host(QUrl::FullyEncoded);
    const bool here = host.isEmpty() ||
                      host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
                      host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0;
    if (!here || url.hasQuery() || url.hasFragment()) {
        return refused;
    }
    const QByteArray path =
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    if (path.isEmpty()) {
        return {};
    }
    // The bytes come straight from the encoding, so a U+FFFD here is really in the name.
    if (!path.startsWith('/') || path.contains('\0')) {
        return refused;
    }
    return {LocalPath::Kind::exact, path.toStdString()};
}

bool isExactName(std::string_view path) {
    constexpr std::string_view replacement = "\xEF\xBF\xBD";
    return path.find('\0') == std::string_view::npos &&
           path.find(replacement) == std::string_view::npos;
}

bool isArchive(std::string_view url) {
    if (PathText::isDirectoryURL(url)) {
        return false;
    }
    std::string extension = PathText::pathExtension(url);
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return extension == "zip";
}

}  // namespace tolvane::InputURL
