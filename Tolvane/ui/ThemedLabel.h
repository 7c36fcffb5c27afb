#pragma once

#include <QLabel>
#include <QString>

#include <optional>

#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane {

// A QLabel for plain text only (names, messages and links are never read as markup) in one theme
// colour that follows the appearance when it switches.
class ThemedLabel final : public QLabel {
    Q_OBJECT

public:
    explicit ThemedLabel(const QString& text = {}, QWidget* parent = nullptr);

    void setColor(const AdaptiveColor& color);

protected:
    void changeEvent(QEvent* event) override;

private:
    void applyColor();

    std::optional<AdaptiveColor> color_;
};

}  // namespace tolvane
