#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Tolvane/model/ExternalVolume.h"

class QVBoxLayout;

namespace tolvane {

// The panel of mounted external volumes under the workspace: one row per volume with what a ZIP
// written there would get (or why it cannot go there), a badge on the volume just attached, and
// one action: save the ZIP on it, or show it in the file manager. Without volumes it takes no
// room. It keeps no state of its own: the window hands it everything through setVolumes().
class ExternalVolumesView final : public QWidget {
    Q_OBJECT

public:
    using SaveToVolume = std::function<void(const ExternalVolume&)>;
    using OpenURL = std::function<void(const std::string& path)>;

    // `openVolume` shows a mount point; by default the desktop opens it in the file manager.
    explicit ExternalVolumesView(SaveToVolume saveToVolume, QWidget* parent = nullptr,
                                 OpenURL openVolume = {});

    // Rebuilds the rows. sourceBytes is the size of the selection to pack, if it is known;
    // canStartPack whether a pack could start now.
    void setVolumes(const std::vector<ExternalVolume>& volumes,
                    const std::optional<std::string>& recentlyMountedID,
                    std::optional<std::uint64_t> sourceBytes, bool canStartPack);

    // Whether the ZIP can be written to the volume now: a pack can start, its size is known, and
    // the volume is writable, identified and has more free space than the working reserve.
    static bool canSave(const ExternalVolume& volume, std::optional<std::uint64_t> sourceBytes,
                        bool canStartPack);
    // The row's summary line.
    static QString detail(const ExternalVolume& volume, std::optional<std::uint64_t> sourceBytes,
                          bool canStartPack);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QWidget* makeRow(const ExternalVolume& volume, bool recentlyMounted,
                     std::optional<std::uint64_t> sourceBytes, bool canStartPack);

    SaveToVolume saveToVolume_;
    OpenURL openVolume_;
    QVBoxLayout* rows_ = nullptr;
    // What the rows show, to draw them again in another appearance.
    std::vector<ExternalVolume> volumes_;
    std::optional<std::string> recentlyMountedID_;
    std::optional<std::uint64_t> sourceBytes_;
    bool canStartPack_ = false;
};

}  // namespace tolvane
