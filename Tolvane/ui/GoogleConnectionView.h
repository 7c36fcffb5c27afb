#pragma once

#include <QDialog>
#include <QString>

#include "core/drive/GoogleAuth.h"

class QLabel;
class QTextEdit;
class QToolButton;

namespace tolvane {

class GoogleConnectionModel;
class SymbolLabel;
class VeskaButton;

// What the account sheet shows for one account state.
struct GoogleConnectionContent {
    // The action row: the connect button, the cancel-sign-in button, or the connected account's
    // sign-out button with its menu (consent revocation).
    enum class Actions { none, connect, cancelSignIn, account };

    QString title;
    QString detail;
    bool connectedBadge = false;
    bool busy = false;
    Actions actions = Actions::none;

    static GoogleConnectionContent of(const GoogleAuthState& state);

    friend bool operator==(const GoogleConnectionContent&,
                           const GoogleConnectionContent&) = default;
};

// The account sheet: a window-modal dialog over `parent`; it closes itself with its
// close button ("닫기"); the window opens it with open().
//
// It holds no state of its own: it shows the model's account state and offers the actions that
// make sense in it. Showing it starts the model's one-time session restore. Closing it leaves
// running account operations alone.
class GoogleConnectionView : public QDialog {
    Q_OBJECT

public:
    GoogleConnectionView(GoogleConnectionModel& model, QWidget* parent);

    static constexpr int sheetWidth = 400;
    // Between the texts and the buttons, whatever the state shows.
    static constexpr int rowSpacing = 22;
    // Above the progress indicator, only while it shows.
    static constexpr int busyPadding = 4;
    // The publisher's privacy policy, opened in the browser.
    static const char* const privacyPolicyURL;

    // Abandons the sign-in under way: the coordinator drops whatever the sign-in page still
    // answers, and the sheet leaves the busy state at once.
    void cancelSignIn();

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();

    GoogleConnectionModel& model_;
    SymbolLabel* badge_ = nullptr;
    QTextEdit* title_ = nullptr;
    QLabel* detail_ = nullptr;
    QWidget* busy_ = nullptr;
    QWidget* actions_ = nullptr;
    VeskaButton* connect_ = nullptr;
    VeskaButton* cancel_ = nullptr;
    VeskaButton* signOut_ = nullptr;
    QToolButton* accountMenu_ = nullptr;
};

}  // namespace tolvane
