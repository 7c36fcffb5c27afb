#include "Tolvane/ui/ResultFooter.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane {

namespace {

constexpr int kPickerHeight = 30;
constexpr qreal kPickerRadius = 8;

// One segment of the role picker: its text, emphasised on a divider-coloured face when chosen.
class Segment final : public QAbstractButton {
public:
    Segment(const QString& text, QWidget* parent) : QAbstractButton(parent) {
        setText(text);
        setCheckable(true);
        setAccessibleName(text);
        setFocusPolicy(Qt::TabFocus);
        setFont(VeskaTheme::font(VeskaTheme::calloutSize, QFont::Medium));
    }

    QSize sizeHint() const override {
        QFont chosen = font();
        chosen.setWeight(QFont::DemiBold);
        return {QFontMetrics(chosen).horizontalAdvance(text()) + 28, kPickerHeight - 4};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (isChecked()) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(VeskaTheme::divider.in(*this));
            painter.drawRoundedRect(QRectF(rect()), kPickerRadius - 2, kPickerRadius - 2);
        }
        QFont drawn = font();
        drawn.setWeight(isChecked() ? QFont::DemiBold : QFont::Medium);
        painter.setFont(drawn);
        QColor color = isChecked() ? VeskaTheme::text.in(*this) : VeskaTheme::muted.in(*this);
        if (!isEnabled()) {
            color.setAlphaF(VeskaButtonStyle::disabledOpacity);
        }
        painter.setPen(color);
        painter.drawText(rect(), Qt::AlignCenter, text());
        if (hasFocus()) {
            painter.setPen(QPen(QColor::fromRgb(VeskaTheme::lime), 1.5));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), kPickerRadius - 3,
                                    kPickerRadius - 3);
        }
    }
};

// The picker's track: the raised face with a divider border, like the secondary buttons.
class PickerTrack final : public QWidget {
public:
    explicit PickerTrack(QWidget* parent) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(VeskaTheme::divider.in(*this), 1));
        painter.setBrush(VeskaTheme::raised.in(*this));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kPickerRadius,
                                kPickerRadius);
    }
};

}  // namespace

ResultFooter::ResultFooter(ContentView& window, DeliveryJobModel& job,
                           GoogleConnectionModel& google, ExternalVolumeStore& volumes,
                           QWidget* parent)
    : QWidget(parent), window_(window), job_(job), google_(google), volumes_(volumes) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);

    newJob_ = new VeskaButton(QStringLiteral("새 작업"), VeskaSecondaryButtonStyle(), this);
    newJob_->setSymbol(QStringLiteral("plus"));
    connect(newJob_, &QPushButton::clicked, this, [this] { window_.startNewJobFromResult(); });
    row->addWidget(newJob_);
    row->addStretch();

    rolePicker_ = new PickerTrack(this);
    rolePicker_->setAccessibleName(QStringLiteral("링크 권한"));
    rolePicker_->setFixedHeight(kPickerHeight);
    auto* segments = new QHBoxLayout(rolePicker_);
    segments->setContentsMargins(2, 2, 2, 2);
    segments->setSpacing(0);
    roles_ = new QButtonGroup(this);
    roles_->setExclusive(true);
    const std::pair<const char*, DriveLinkRole> choices[] = {{"보기", DriveLinkRole::reader},
                                                             {"편집", DriveLinkRole::writer}};
    for (const auto& [text, role] : choices) {
        auto* segment = new Segment(QString::fromUtf8(text), rolePicker_);
        roles_->addButton(segment, static_cast<int>(role));
        segments->addWidget(segment);
    }
    rolePicker_->setFixedWidth(rolePicker_->sizeHint().width());
    connect(roles_, &QButtonGroup::idClicked, this,
            [this](int id) { window_.setSelectedShareRole(static_cast<DriveLinkRole>(id)); });
    row->addWidget(rolePicker_, 0, Qt::AlignVCenter);

    makeLink_ = new VeskaButton(QStringLiteral("링크 만들기"), VeskaPrimaryButtonStyle(), this);
    makeLink_->setSymbol(QStringLiteral("link"));
    connect(makeLink_, &QPushButton::clicked, this, [this] {
        if (google_.state().kind() == GoogleAuthState::Kind::connected) {
            window_.confirmDriveShare();
        } else {
            window_.showGoogleConnection();
        }
    });
    row->addWidget(makeLink_);

    for (auto signal : {&DeliveryJobModel::phaseChanged, &DeliveryJobModel::outputURLChanged,
                        &DeliveryJobModel::verifiedArchiveChanged}) {
        connect(&job_, signal, this, &ResultFooter::refresh);
    }
    for (auto signal :
         {&GoogleConnectionModel::stateChanged, &GoogleConnectionModel::transferStateChanged,
          &GoogleConnectionModel::hasActiveTransferChanged}) {
        connect(&google_, signal, this, &ResultFooter::refresh);
    }
    connect(&volumes_, &ExternalVolumeStore::isEjectingChanged, this, &ResultFooter::refresh);
    refresh();
}

bool ResultFooter::canOfferShare(const std::optional<std::string>& outputURL, bool outputExists,
                                 bool volumeEjected,
                                 const GoogleConnectionModel::TransferState& transfer) {
    if (!outputURL || !outputExists || volumeEjected) {
        return false;
    }
    // A share of this file that paused or failed is taken up again from the Drive panel, not
    // offered twice.
    if (transfer.isShareState()) {
        return transfer.archiveURL != *outputURL;
    }
    return true;
}

void ResultFooter::refresh() {
    // The other phases have a footer of their own.
    setVisible(job_.phase() == DeliveryJobModel::Phase::complete);
    const bool busy = google_.hasActiveTransfer() || volumes_.isEjecting();
    newJob_->setEnabled(!busy);
    const bool offered = job_.verifiedArchive().has_value() && window_.canOfferShare();
    rolePicker_->setVisible(offered);
    makeLink_->setVisible(offered);
    rolePicker_->setEnabled(!busy);
    makeLink_->setEnabled(!busy);
    roles_->button(static_cast<int>(window_.selectedShareRole()))->setChecked(true);
}

}  // namespace tolvane
