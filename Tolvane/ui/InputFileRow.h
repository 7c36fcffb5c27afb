#pragma once

#include <QAbstractButton>
#include <QString>
#include <QWidget>

#include <functional>
#include <string>

namespace tolvane {

class ElidedLabel;

// An icon-only button in the plain style: a muted symbol centred in a square that takes clicks
// anywhere in it.
class PlainSymbolButton final : public QAbstractButton {
    Q_OBJECT

public:
    PlainSymbolButton(QString symbol, int symbolSize, int side, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    int symbolSize_;
};

// One selected input: an icon for its kind, its name and its parent folder (both shortened in
// the middle), the full path as the row's tooltip, and a button that removes it.
class InputFileRow final : public QWidget {
    Q_OBJECT

public:
    // `url` as the job model holds it (a folder ends in "/").
    InputFileRow(std::string url, std::function<void()> remove, QWidget* parent = nullptr);

    // The symbol for the input's kind, read from the path alone.
    static QString symbolFor(const std::string& url);
    // The name and the parent folder's name as shown, and the full path of the tooltip.
    static QString nameOf(const std::string& url);
    static QString parentNameOf(const std::string& url);
    static QString pathOf(const std::string& url);

    const std::string& url() const noexcept { return url_; }
    ElidedLabel* nameLabel() const { return name_; }
    QAbstractButton* removeButton() const { return remove_; }

private:
    std::string url_;
    ElidedLabel* name_ = nullptr;
    QAbstractButton* remove_ = nullptr;
};

}  // namespace tolvane
