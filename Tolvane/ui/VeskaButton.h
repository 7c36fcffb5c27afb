#pragma once

#include <QFont>
#include <QPushButton>
#include <QString>

namespace tolvane {

// How one kind of Veska button looks. The two kinds below are the only ones.
struct VeskaButtonStyle {
    enum class Face { lime, raised };

    QFont::Weight weight;
    int horizontalPadding;
    int minimumHeight;
    Face face;
    // Drawn at this opacity while held down.
    double pressedOpacity;

    static constexpr int fontSize = 13;
    static constexpr int cornerRadius = 10;
    static constexpr double disabledOpacity = 0.45;

    // Disabled wins over pressed: a disabled button stays faint even while the pointer holds it.
    double opacity(bool isEnabled, bool isPressed) const {
        if (!isEnabled) {
            return disabledOpacity;
        }
        return isPressed ? pressedOpacity : 1.0;
    }
};

// The main action of a screen: black label on the lime face.
struct VeskaPrimaryButtonStyle : VeskaButtonStyle {
    VeskaPrimaryButtonStyle() : VeskaButtonStyle{QFont::DemiBold, 18, 38, Face::lime, 0.78} {}
};

// The other actions: the text colour on the raised face with a divider-coloured border.
struct VeskaSecondaryButtonStyle : VeskaButtonStyle {
    VeskaSecondaryButtonStyle() : VeskaButtonStyle{QFont::Medium, 14, 36, Face::raised, 0.72} {}
};

// A push button painted in one of the two styles: as wide as its label plus the padding, at
// least the style's height, and only its rounded shape takes clicks. An optional symbol (see
// VeskaSymbol) is drawn before the text in the label's colour.
class VeskaButton final : public QPushButton {
    Q_OBJECT
public:
    VeskaButton(const QString& text, const VeskaButtonStyle& style, QWidget* parent = nullptr);

    void setSymbol(const QString& symbol);
    const VeskaButtonStyle& buttonStyle() const noexcept { return style_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& position) const override;

private:
    static constexpr int kSymbolSize = 14;
    static constexpr int kSymbolSpacing = 6;

    VeskaButtonStyle style_;
    QString symbol_;
};

}  // namespace tolvane
