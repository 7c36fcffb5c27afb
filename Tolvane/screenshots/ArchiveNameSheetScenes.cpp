// The archive name sheet over a sample folder that already holds one ZIP of the sample name.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

#include "Tolvane/screenshots/ScreenshotScenes.h"
#include "Tolvane/ui/ArchiveNameSheet.h"

namespace tolvane::screenshots {
namespace {

// Made once, removed when the program ends.
std::string sampleFolder() {
    static std::unique_ptr<QTemporaryDir> root;
    static QString folder;
    if (!root) {
        root = std::make_unique<QTemporaryDir>();
        folder = root->path() + QStringLiteral("/문서/거래처 납품");
        QDir().mkpath(folder);
        QFile existing(folder + QStringLiteral("/거래처 납품자료.zip"));
        existing.open(QIODevice::WriteOnly);
    }
    return QFile::encodeName(folder).toStdString();
}

QWidget* sheet(const QString& name) {
    return new ArchiveNameSheet(
        sampleFolder(), name, [](const QString&) {}, [] {});
}

const bool registered = registerScenes({
    {QStringLiteral("name-sheet-empty"), [] { return sheet(QString()); }},
    {QStringLiteral("name-sheet-valid"), [] { return sheet(QStringLiteral("거래처 납품자료")); }},
    {QStringLiteral("name-sheet-refused"), [] { return sheet(QStringLiteral("보고서/최종본")); }},
    {QStringLiteral("name-sheet-long"),
     [] {
         return sheet(
             QStringLiteral("2024년 하반기 서울 본사 디자인팀 최종 납품 원본 사진과 "
                            "편집 파일 모음 - 검수 완료본"));
     }},
});

}  // namespace
}  // namespace tolvane::screenshots
