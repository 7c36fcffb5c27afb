#include "Tolvane/ui/GoogleConnectionView.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QTextEdit>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <cmath>

#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/ui/SymbolLabel.h"
#include "Tolvane/ui/VeskaBusyIndicator.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaStyle.h"
#include "Tolvane/ui/VeskaSymbol.h"
#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane {

const char* const GoogleConnectionView::privacyPolicyURL = "https://veska.app/privacy/";

namespace {

using Kind = GoogleAuthState::Kind;
using Actions = GoogleConnectionContent::Actions;

const QString kDefaultDetail = QStringLiteral("ZIP을 업로드하고 공유 링크를 만듭니다.");

QString titleOf(const GoogleAuthState& state) {
    switch (state.kind()) {
        case Kind::restoring:
            return QStringLiteral("계정 확인 중");
        case Kind::signedOut:
            return QStringLiteral("Drive에 연결하세요");
        case Kind::authorizing:
            return QStringLiteral("로그인 중");
        case Kind::requestingScope:
            return QStringLiteral("접근 권한 확인 중");
        case Kind::connected: {
            const auto& email = state.identity() ? state.identity()->email : std::nullopt;
            return email && !email->empty() ? QString::fromStdString(*email)
                                            : QStringLiteral("Google 계정");
        }
        case Kind::refreshing:
            return QStringLiteral("로그인 갱신 중");
        case Kind::reauthRequired:
            return QStringLiteral("다시 연결이 필요합니다");
        case Kind::signingOut:
            return QStringLiteral("로그아웃 중");
        case Kind::revokingConsent:
            return QStringLiteral("권한 철회 중");
        case Kind::cancelled:
            return QStringLiteral("로그인이 취소됐습니다");
        case Kind::denied:
            return QStringLiteral("접근 권한이 필요합니다");
        case Kind::failed:
            break;
    }
    return QStringLiteral("연결하지 못했습니다");
}

QString detailOf(const GoogleAuthState& state) {
    switch (state.kind()) {
        case Kind::connected:
            return QStringLiteral("이 앱에서 만든 파일만 접근합니다.");
        case Kind::reauthRequired:
            return QStringLiteral("계정을 다시 연결하면 전송을 이어갈 수 있습니다.");
        case Kind::failed: {
            // The failure's own message stays out of the sheet; two causes the user can act on
            // get their own advice.
            const auto code =
                state.failure() ? state.failure()->code() : GoogleAuthFailure::Code::unavailable;
            if (code == GoogleAuthFailure::Code::keychainUnavailable) {
                return QStringLiteral(
                    "로그인을 저장하지 못했습니다. 키링 서비스 접근을 확인해 주세요.");
            }
            if (code == GoogleAuthFailure::Code::configurationMissing) {
                return QStringLiteral("로그인 설정이 누락됐습니다. 앱을 업데이트해 주세요.");
            }
            return QStringLiteral("네트워크와 계정 권한을 확인한 뒤 다시 시도해 주세요.");
        }
        default:
            return kDefaultDetail;
    }
}

Actions actionsOf(Kind kind) {
    switch (kind) {
        case Kind::signedOut:
        case Kind::cancelled:
        case Kind::denied:
        case Kind::reauthRequired:
        case Kind::failed:
            return Actions::connect;
        case Kind::authorizing:
        case Kind::requestingScope:
            return Actions::cancelSignIn;
        case Kind::connected:
            return Actions::account;
        default:
            return Actions::none;
    }
}

bool isBusy(Kind kind) {
    switch (kind) {
        case Kind::restoring:
        case Kind::authorizing:
        case Kind::requestingScope:
        case Kind::refreshing:
        case Kind::signingOut:
        case Kind::revokingConsent:
            return true;
        default:
            return false;
    }
}

// The round close button of the header: the cross on a raised disc.
class CloseButton final : public QAbstractButton {
public:
    explicit CloseButton(QWidget* parent) : QAbstractButton(parent) {
        setFixedSize(26, 26);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
        setAccessibleName(QStringLiteral("닫기"));
        setToolTip(QStringLiteral("닫기"));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setOpacity(isDown() ? 0.72 : 1.0);
        painter.setPen(hasFocus() ? QPen(VeskaTheme::muted.in(*this), 1.0) : Qt::NoPen);
        painter.setBrush(VeskaTheme::raised.in(*this));
        painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
        constexpr int size = 11;
        const QPixmap cross = VeskaSymbol::pixmap(QStringLiteral("xmark"), size,
                                                  VeskaTheme::text.in(*this), devicePixelRatioF());
        painter.drawPixmap(QPoint((width() - size) / 2, (height() - size) / 2), cross);
    }
};

// The account menu's button: the ellipsis symbol, no face of its own.
class MenuButton final : public QToolButton {
public:
    explicit MenuButton(QWidget* parent) : QToolButton(parent) {
        setFixedSize(24, 24);
        setPopupMode(QToolButton::InstantPopup);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
        setToolTip(QStringLiteral("계정 옵션"));
        setAccessibleName(QStringLiteral("계정 옵션"));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (isDown() || hasFocus()) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(VeskaTheme::raised.in(*this));
            painter.drawRoundedRect(QRectF(rect()), 6, 6);
        }
        constexpr int size = 16;
        const QPixmap dots = VeskaSymbol::pixmap(QStringLiteral("ellipsis"), size,
                                                 VeskaTheme::muted.in(*this), devicePixelRatioF());
        painter.drawPixmap(QPoint((width() - size) / 2, (height() - size) / 2), dots);
    }
};

// A line of text that opens a web page, drawn in the theme's link colour.
class LinkButton final : public QAbstractButton {
public:
    LinkButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
        setText(text);
        setAccessibleName(text);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }

    QSize sizeHint() const override {
        const QFontMetrics metrics(font());
        return {metrics.horizontalAdvance(text()) + 2, metrics.height() + 2};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        QFont underlined = font();
        underlined.setUnderline(underMouse() || hasFocus());
        painter.setFont(underlined);
        painter.setPen(VeskaTheme::success.in(*this));
        painter.drawText(rect().adjusted(1, 1, -1, -1), Qt::AlignLeft | Qt::AlignVCenter, text());
    }
    void enterEvent(QEnterEvent*) override { update(); }
    void leaveEvent(QEvent*) override { update(); }
};

// The headline: selectable plain text that wraps anywhere when it must, so that a long e-mail
// address without spaces breaks inside the sheet instead of running past its edge.
class TitleText final : public QTextEdit {
public:
    TitleText(int width, QWidget* parent) : QTextEdit(parent) {
        setReadOnly(true);
        setAcceptRichText(false);
        setFrameShape(QFrame::NoFrame);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        setFocusPolicy(Qt::ClickFocus);
        viewport()->setAutoFillBackground(false);
        setAutoFillBackground(false);
        document()->setDocumentMargin(0);
        setFixedWidth(width);
    }

    void setTitle(const QString& text) {
        if (text == toPlainText()) {
            return;
        }
        setPlainText(text);
        document()->setTextWidth(width());
        setFixedHeight(static_cast<int>(std::ceil(document()->size().height())));
    }
};

QLabel* plainLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

}  // namespace

GoogleConnectionContent GoogleConnectionContent::of(const GoogleAuthState& state) {
    return {titleOf(state), detailOf(state), state.kind() == Kind::connected, isBusy(state.kind()),
            actionsOf(state.kind())};
}

GoogleConnectionView::GoogleConnectionView(GoogleConnectionModel& model, QWidget* parent)
    : QDialog(parent), model_(model) {
    setWindowTitle(QStringLiteral("Google Drive"));
    setWindowModality(Qt::WindowModal);

    constexpr int margin = 28;
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(margin, margin, margin, margin);
    layout->setSpacing(rowSpacing);
    // Always the sheet's width; the height follows the wrapped texts.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    const int contentWidth = sheetWidth - 2 * margin;

    auto* header = new QHBoxLayout;
    auto* heading =
        new SymbolLabel(QStringLiteral("externaldrive"), QStringLiteral("Google Drive"), this);
    heading->setFont(VeskaTheme::font(VeskaTheme::bodySize, QFont::Bold));
    header->addWidget(heading);
    header->addStretch(1);
    auto* close = new CloseButton(this);
    header->addWidget(close);
    layout->addLayout(header);

    auto* status = new QVBoxLayout;
    status->setSpacing(8);
    badge_ =
        new SymbolLabel(QStringLiteral("checkmark.circle.fill"), QStringLiteral("연결됨"), this);
    badge_->setFont(VeskaTheme::font(VeskaTheme::captionSize, QFont::Medium));
    badge_->setColor(VeskaTheme::success);
    status->addWidget(badge_);
    auto* title = new TitleText(contentWidth, this);
    title->setFont(VeskaTheme::font(17, QFont::Medium));
    title_ = title;
    status->addWidget(title_);
    detail_ = plainLabel(this);
    detail_->setFont(VeskaTheme::font(VeskaTheme::calloutSize));
    detail_->setWordWrap(true);
    detail_->setFixedWidth(contentWidth);
    detail_->setForegroundRole(QPalette::PlaceholderText);  // the theme's muted colour
    status->addWidget(detail_);
    // The indicator carries its padding with it, so that a hidden indicator leaves no gap.
    busy_ = new QWidget(this);
    auto* busyRow = new QVBoxLayout(busy_);
    busyRow->setContentsMargins(0, busyPadding, 0, 0);
    busyRow->addWidget(new VeskaBusyIndicator(busy_), 0, Qt::AlignLeft);
    status->addWidget(busy_);
    layout->addLayout(status);

    actions_ = new QWidget(this);
    auto* row = new QHBoxLayout(actions_);
    row->setContentsMargins(0, 0, 0, 0);
    connect_ = new VeskaButton(QStringLiteral("Google 계정 연결"), VeskaPrimaryButtonStyle(), this);
    cancel_ = new VeskaButton(QStringLiteral("로그인 취소"), VeskaSecondaryButtonStyle(), this);
    signOut_ = new VeskaButton(QStringLiteral("로그아웃"), VeskaSecondaryButtonStyle(), this);
    accountMenu_ = new MenuButton(this);
    auto* menu = new QMenu(accountMenu_);
    QAction* revoke = menu->addAction(QStringLiteral("접근 권한 철회"));
    VeskaStyle::markDestructive(revoke);
    accountMenu_->setMenu(menu);
    // The button sits at the sheet's right edge: its menu opens leftwards from there, inside the
    // sheet, as a right-to-left tool button places it; the menu itself reads left to right.
    accountMenu_->setLayoutDirection(Qt::RightToLeft);
    menu->setLayoutDirection(Qt::LeftToRight);
    // Return presses none of them: the sheet has no default action, only Escape's close.
    for (auto* button : {connect_, cancel_, signOut_}) {
        button->setAutoDefault(false);
    }
    row->addWidget(connect_);
    row->addWidget(cancel_);
    row->addWidget(signOut_);
    row->addStretch(1);
    row->addWidget(accountMenu_);
    layout->addWidget(actions_);

    auto* privacy = new LinkButton(QStringLiteral("개인정보처리방침"), this);
    privacy->setFont(VeskaTheme::font(VeskaTheme::calloutSize));
    layout->addWidget(privacy);

    QObject::connect(close, &QAbstractButton::clicked, this, &QDialog::reject);
    QObject::connect(connect_, &QAbstractButton::clicked, this, [this] { model_.connect(); });
    QObject::connect(cancel_, &QAbstractButton::clicked, this, [this] { cancelSignIn(); });
    QObject::connect(signOut_, &QAbstractButton::clicked, this, [this] { model_.signOut(); });
    QObject::connect(revoke, &QAction::triggered, this, [this] { model_.revokeConsent(); });
    QObject::connect(privacy, &QAbstractButton::clicked, this, [] {
        QDesktopServices::openUrl(QUrl(QString::fromLatin1(privacyPolicyURL)));
    });
    QObject::connect(&model_, &GoogleConnectionModel::stateChanged, this, [this] { refresh(); });
    refresh();

    // The sheet itself holds the focus when it opens: no control shows a focus ring and Space
    // presses nothing, while Tab still reaches every control and Escape closes the sheet.
    setFocusPolicy(Qt::ClickFocus);
    setFocus(Qt::OtherFocusReason);
}

void GoogleConnectionView::cancelSignIn() {
    // The coordinator only marks the sign-in as abandoned and asks the provider to stop; it does
    // not wait for the sign-in page, so this stays on the GUI thread.
    GoogleAuthCoordinator& coordinator = model_.coordinator();
    coordinator.cancel();
    model_.setState(coordinator.currentState());
    model_.refreshPendingTransfers();
}

void GoogleConnectionView::refresh() {
    const auto content = GoogleConnectionContent::of(model_.state());
    badge_->setVisible(content.connectedBadge);
    static_cast<TitleText*>(title_)->setTitle(content.title);
    title_->setAccessibleName(content.title);
    detail_->setText(content.detail);
    busy_->setVisible(content.busy);
    actions_->setVisible(content.actions != Actions::none);
    connect_->setVisible(content.actions == Actions::connect);
    cancel_->setVisible(content.actions == Actions::cancelSignIn);
    signOut_->setVisible(content.actions == Actions::account);
    accountMenu_->setVisible(content.actions == Actions::account);
}

void GoogleConnectionView::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    model_.restoreIfNeeded();
}

void GoogleConnectionView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), VeskaTheme::surface.in(*this));
}

}  // namespace tolvane
