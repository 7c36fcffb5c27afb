#include <QSignalSpy>

#include <gtest/gtest.h>

#include "Tolvane/app/SingleInstance.h"
#include "support/TempDir.h"

namespace tolvane::test {
namespace {

TEST(SingleInstanceTest, ASecondLaunchHandsItsURLsToTheFirst) {
    TempDir root;
    const QString folder = QString::fromStdString(root.path());
    SingleInstance first(folder);
    ASSERT_TRUE(first.claim({}));
    QSignalSpy launched(&first, &SingleInstance::launched);

    const QStringList urls = SingleInstance::urlArguments(
        {QStringLiteral("--verbose"), QStringLiteral("http://127.0.0.1:4711/?code=a&state=b"),
         QStringLiteral("/home/a/file.zip"), QStringLiteral("veska:x")});
    EXPECT_EQ(urls, QStringList{QStringLiteral("http://127.0.0.1:4711/?code=a&state=b")});
    SingleInstance second(folder);
    EXPECT_FALSE(second.claim(urls));
    ASSERT_TRUE(launched.wait(60000));
    EXPECT_EQ(launched.at(0).at(0).toStringList(), urls);
}

TEST(SingleInstanceTest, TheSocketOfAnEndedInstanceIsTakenOver) {
    TempDir root;
    const QString folder = QString::fromStdString(root.path());
    {
        SingleInstance ended(folder);
        ASSERT_TRUE(ended.claim({}));
    }
    // A crashed instance leaves its socket file behind.
    QFile stale(folder + QStringLiteral("/veska.socket"));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    SingleInstance next(folder);
    EXPECT_TRUE(next.claim({}));
    SingleInstance later(folder);
    EXPECT_FALSE(later.claim({}));
}

}  // namespace
}  // namespace tolvane::test
