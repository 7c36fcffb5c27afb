#include "Tolvane/ui/GoogleConnectionView.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QTextEdit>
#include <QToolButton>
#include <QUrl>

#include "GoogleScreensFixture.h"
#include "Tolvane/ui/VeskaBusyIndicator.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaStyle.h"

namespace tolvane::test {
namespace {

using Actions = GoogleConnectionContent::Actions;
using Failure = GoogleAuthFailure;

TEST(GoogleConnectionContent, EveryAccountStateHasItsTextsBadgeBusyFlagAndActions) {
    const GoogleIdentity mail{"s", "a@example.com"}, bare{"s", std::nullopt};
    const QString intro = QStringLiteral("ZIP을 업로드하고 공유 링크를 만듭니다.");
    const QString retry = QStringLiteral("네트워크와 계정 권한을 확인한 뒤 다시 시도해 주세요.");
    const QString failed = QStringLiteral("연결하지 못했습니다");
    const struct {
        GoogleAuthState state;
        GoogleConnectionContent content;
    } rows[] = {
        {GoogleAuthState::restoring(), {"계정 확인 중", intro, false, true, Actions::none}},
        {GoogleAuthState::signedOut(),
         {"Drive에 연결하세요", intro, false, false, Actions::connect}},
        {GoogleAuthState::authorizing(), {"로그인 중", intro, false, true, Actions::cancelSignIn}},
        {GoogleAuthState::requestingScope(mail),
         {"접근 권한 확인 중", intro, false, true, Actions::cancelSignIn}},
        {GoogleAuthState::connected(mail),
         {"a@example.com", "이 앱에서 만든 파일만 접근합니다.", true, false, Actions::account}},
        {GoogleAuthState::connected(bare),
         {"Google 계정", "이 앱에서 만든 파일만 접근합니다.", true, false, Actions::account}},
        {GoogleAuthState::refreshing(mail), {"로그인 갱신 중", intro, false, true, Actions::none}},
        {GoogleAuthState::reauthRequired(mail),
         {"다시 연결이 필요합니다", "계정을 다시 연결하면 전송을 이어갈 수 있습니다.", false, false,
          Actions::connect}},
        {GoogleAuthState::signingOut(), {"로그아웃 중", intro, false, true, Actions::none}},
        {GoogleAuthState::revokingConsent(), {"권한 철회 중", intro, false, true, Actions::none}},
        {GoogleAuthState::cancelled(),
         {"로그인이 취소됐습니다", intro, false, false, Actions::connect}},
        {GoogleAuthState::denied(),
         {"접근 권한이 필요합니다", intro, false, false, Actions::connect}},
        {GoogleAuthState::failed(Failure::keychainUnavailable()),
         {failed, "로그인을 저장하지 못했습니다. 키링 서비스 접근을 확인해 주세요.", false, false,
          Actions::connect}},
        {GoogleAuthState::failed(Failure::configurationMissing()),
         {failed, "로그인 설정이 누락됐습니다. 앱을 업데이트해 주세요.", false, false,
          Actions::connect}},
        {GoogleAuthState::failed(Failure::denied()),
         {failed, retry, false, false, Actions::connect}},
        {GoogleAuthState::failed(Failure::unavailable()),
         {failed, retry, false, false, Actions::connect}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(GoogleConnectionContent::of(row.state), row.content)
            << row.content.title.toStdString() << " / " << row.content.detail.toStdString();
    }
}

// Collects the web pages the sheet asks the desktop to open.
class UrlSink : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl& url) { opened.push_back(url); }

public:
    std::vector<QUrl> opened;
};

TEST_F(GoogleScreens, CancellingASignInShowsTheCoordinatorsStateAtOnceAndForGood) {
    restore(false);
    GoogleConnectionView sheet(*model, nullptr);
    sheet.show();
    EXPECT_EQ(sheet.width(), GoogleConnectionView::sheetWidth);
    holdSignIn = true;
    button(sheet, QStringLiteral("Google 계정 연결"))->click();
    ASSERT_TRUE(eventually([&] {
        const std::lock_guard lock(mutex);
        return signIns == 1;
    }));
    EXPECT_EQ(model->state(), GoogleAuthState::authorizing());
    EXPECT_EQ(button(sheet, QStringLiteral("Google 계정 연결")), nullptr);

    button(sheet, QStringLiteral("로그인 취소"))->click();
    // Not waiting for the sign-in page: the sheet leaves the busy state while it is still open.
    EXPECT_EQ(model->state(), GoogleAuthState::cancelled());
    EXPECT_EQ(sheet.findChild<QTextEdit*>()->toPlainText(),
              QStringLiteral("로그인이 취소됐습니다"));
    ASSERT_NE(button(sheet, QStringLiteral("Google 계정 연결")), nullptr);

    // The sign-in finishing afterwards does not connect the account.
    release();
    ASSERT_TRUE(eventually([&] {
        const std::lock_guard lock(mutex);
        return signInsDone == 1;
    }));
    EXPECT_EQ(model->coordinator().currentState(), GoogleAuthState::cancelled());
    EXPECT_EQ(model->state(), GoogleAuthState::cancelled());

    UrlSink sink;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &sink, "open");
    button(sheet, QStringLiteral("개인정보처리방침"))->click();
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    ASSERT_EQ(sink.opened.size(), 1u);
    EXPECT_EQ(sink.opened.front().path(), QStringLiteral("/privacy/"));

    // Escape closes the sheet whatever the state.
    QTest::keyClick(&sheet, Qt::Key_Escape);
    EXPECT_FALSE(sheet.isVisible());
}

// The widget's rectangle in the sheet's coordinates.
QRect inSheet(QWidget& sheet, const QWidget& widget) {
    return {widget.mapTo(&sheet, QPoint(0, 0)), widget.size()};
}

TEST_F(GoogleScreens, TheSheetOpensWithNothingFocusedAndKeepsItsSpacingInEveryState) {
    restore(false);
    GoogleConnectionView sheet(*model, nullptr);
    sheet.show();
    sheet.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&sheet));

    // No control holds the focus: Space and Return press nothing, Escape still closes.
    QAbstractButton* close = nullptr;
    for (auto* candidate : sheet.findChildren<QAbstractButton*>()) {
        if (candidate->accessibleName() == QStringLiteral("닫기")) {
            close = candidate;
        }
    }
    ASSERT_NE(close, nullptr);
    EXPECT_FALSE(close->hasFocus());
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    EXPECT_EQ(qobject_cast<QAbstractButton*>(QApplication::focusWidget()), nullptr);
    for (const auto key : {Qt::Key_Space, Qt::Key_Return}) {
        QTest::keyClick(QApplication::focusWidget(), key);
        QApplication::processEvents();
        EXPECT_TRUE(sheet.isVisible()) << key;
        EXPECT_EQ(model->state(), GoogleAuthState::signedOut()) << key;
    }

    const GoogleIdentity alice{"alice", "alice@example.com"};
    const struct {
        GoogleAuthState state;
        bool busy;
    } rows[] = {
        {GoogleAuthState::restoring(), true},
        {GoogleAuthState::signedOut(), false},
        {GoogleAuthState::authorizing(), true},
        {GoogleAuthState::connected(alice), false},
        {GoogleAuthState::refreshing(alice), true},
        {GoogleAuthState::failed(GoogleAuthFailure::unavailable()), false},
        {GoogleAuthState::signedOut(), false},  // back from a busy state
    };
    auto* indicator = sheet.findChild<VeskaBusyIndicator*>();
    auto* title = sheet.findChild<QTextEdit*>();
    auto* privacy = button(sheet, QStringLiteral("개인정보처리방침"));
    ASSERT_NE(indicator, nullptr);
    ASSERT_NE(privacy, nullptr);
    for (const auto& row : rows) {
        model->setState(row.state);
        QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QApplication::processEvents();
        const auto content = GoogleConnectionContent::of(row.state);
        QLabel* detail = nullptr;
        for (auto* label : sheet.findChildren<QLabel*>()) {
            if (label->text() == content.detail) {
                detail = label;
            }
        }
        ASSERT_NE(detail, nullptr) << content.title.toStdString();
        EXPECT_EQ(indicator->isVisibleTo(&sheet), row.busy) << content.title.toStdString();
        EXPECT_GE(inSheet(sheet, *detail).top(), inSheet(sheet, *title).bottom());

        // The first row after the texts: the buttons, or the link when there are none.
        QWidget* next = privacy;
        for (auto* candidate : sheet.findChildren<VeskaButton*>()) {
            if (candidate->isVisibleTo(&sheet)) {
                next = candidate->parentWidget();
            }
        }
        const int textsEnd =
            inSheet(sheet, row.busy ? static_cast<QWidget&>(*indicator) : *detail).bottom();
        EXPECT_EQ(inSheet(sheet, *next).top() - textsEnd - 1, GoogleConnectionView::rowSpacing)
            << content.title.toStdString();
        if (row.busy) {
            EXPECT_EQ(inSheet(sheet, *indicator).top() - inSheet(sheet, *detail).bottom() - 1,
                      8 + GoogleConnectionView::busyPadding);
        }
    }

    // The connected account's one menu item removes the access: it is drawn as destructive.
    auto* menuButton = sheet.findChild<QToolButton*>();
    ASSERT_NE(menuButton, nullptr);
    ASSERT_EQ(menuButton->menu()->actions().size(), 1);
    EXPECT_TRUE(VeskaStyle::isDestructive(menuButton->menu()->actions().front()));

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(sheet.isVisible());
}

}  // namespace
}  // namespace tolvane::test

#include "GoogleConnectionViewTest.moc"
