#include "Tolvane/model/ExternalVolume.h"

#include "core/common/PathText.h"

namespace tolvane {

bool ExternalVolume::containsFileURL(const std::string& fileURL,
                                     const std::optional<std::string>& fileVolumeUUID) const {
    if (!uuid || !fileVolumeUUID || *uuid != *fileVolumeUUID) {
        return false;
    }
    const std::string folder = PathText::standardized(PathText::deletingLastComponent(fileURL));
    const std::string root = PathText::standardized(url);
    if (folder == root) {
        return true;
    }
    // "/media/u/STICK1" is a sibling of "/media/u/STICK", not a folder inside it.
    const std::string prefix = root == "/" ? root : root + "/";
    return folder.starts_with(prefix);
}

}  // namespace tolvane
