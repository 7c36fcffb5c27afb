#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

#include "Tolvane/ui/ArchiveNameSheet.h"
#include "Tolvane/ui/ElidedLabel.h"
#include "Tolvane/ui/VeskaButton.h"
#include "support/TempDir.h"

namespace tolvane::test {
namespace {

struct Sheet {
    explicit Sheet(const std::string& folder, const QString& initial = {})
        : sheet(
              folder, initial, [this](const QString& name) { saved.push_back(name); },
              [this] { ++cancels; }) {
        sheet.show();
    }

    QLineEdit* field() { return sheet.findChild<QLineEdit*>(); }
    VeskaButton* confirm() {
        for (auto* button : sheet.findChildren<VeskaButton*>()) {
            if (button->text() == QStringLiteral("ZIP 만들기")) {
                return button;
            }
        }
        return nullptr;
    }
    // The name line: the second line of small text, after the folder.
    ElidedLabel* nameLine() { return sheet.findChildren<ElidedLabel*>().value(1); }

    std::vector<QString> saved;
    int cancels = 0;
    ArchiveNameSheet sheet;
};

TEST(ArchiveNameSheet, ShowsWhatWillBeWrittenAndGuardsTheConfirmButton) {
    TempDir folder;
    writeFile(folder.file("납품.zip"), "");
    const struct {
        QString typed;
        QString line;
        bool enabled;
    } rows[] = {
        {QString(), QStringLiteral("사용할 수 없는 이름입니다."), false},
        {QStringLiteral("a:b"), QStringLiteral("사용할 수 없는 이름입니다."), false},
        {QStringLiteral(" 납품 "), QStringLiteral("저장 이름: 납품_2.zip"), true},
        {QStringLiteral("보고서.zip"), QString(), true},
    };
    Sheet sheet(folder.path());
    EXPECT_EQ(sheet.sheet.focusWidget(), sheet.field());
    for (const auto& row : rows) {
        sheet.sheet.setEnteredName(row.typed);
        EXPECT_EQ(sheet.nameLine()->text(), row.line) << row.typed.toStdString();
        EXPECT_EQ(sheet.nameLine()->isVisible(), !row.line.isEmpty()) << row.typed.toStdString();
        EXPECT_EQ(sheet.confirm()->isEnabled(), row.enabled) << row.typed.toStdString();
    }
    EXPECT_EQ(sheet.sheet.width(), ArchiveNameSheet::sheetWidth);
}

TEST(ArchiveNameSheet, ReturnSavesTheTypedTextOnce) {
    TempDir folder;
    Sheet sheet(folder.path(), QStringLiteral("x"));
    QTest::keyClick(sheet.field(), Qt::Key_Return);  // "x" is usable: saved
    QTest::keyClick(sheet.field(), Qt::Key_Return);  // already saved: nothing more
    QTest::mouseClick(sheet.confirm(), Qt::LeftButton);
    sheet.sheet.close();
    EXPECT_EQ(sheet.saved, std::vector<QString>{QStringLiteral("x")});
    EXPECT_EQ(sheet.cancels, 0);
    EXPECT_EQ(sheet.sheet.result(), QDialog::Accepted);

    Sheet untouched(folder.path(), QStringLiteral("  둘 "));
    QTest::mouseClick(untouched.confirm(), Qt::LeftButton);
    EXPECT_EQ(untouched.saved, std::vector<QString>{QStringLiteral("  둘 ")});
}

TEST(ArchiveNameSheet, RefusedNamesNeverReachOnSaveAndEscapeCancels) {
    TempDir folder;
    Sheet sheet(folder.path(), QStringLiteral("a/b"));
    QTest::keyClick(sheet.field(), Qt::Key_Return);
    QTest::mouseClick(sheet.confirm(), Qt::LeftButton);
    EXPECT_TRUE(sheet.saved.empty());
    EXPECT_TRUE(sheet.sheet.isVisible());

    QTest::keyClick(sheet.field(), Qt::Key_Escape);
    EXPECT_FALSE(sheet.sheet.isVisible());
    sheet.sheet.close();
    EXPECT_EQ(sheet.cancels, 1);
    EXPECT_TRUE(sheet.saved.empty());

    Sheet closed(folder.path(), QStringLiteral("ok"));
    closed.sheet.close();  // the window's close button
    EXPECT_EQ(closed.cancels, 1);
}

}  // namespace
}  // namespace tolvane::test
