#pragma once

#include <QWidget>

namespace tolvane {

// Shows or hides a panel that hides itself while it has nothing to say. A panel without a parent
// yet is only ever hidden here: showing it would open it as a window of its own; it appears with
// the parent it is placed in.
inline void showWhen(QWidget& panel, bool shown) {
    if (!shown) {
        panel.hide();
    } else if (panel.parentWidget() != nullptr) {
        panel.show();
    }
}

}  // namespace tolvane
