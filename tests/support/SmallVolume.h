#pragma once

#include <cstdint>
#include <string>

namespace tolvane::test {

// A tmpfs of the given size ("4m") mounted on a fresh folder at path, read-only when asked, and
// unmounted when the object goes away however the test ends. Mounting needs privileges a test
// machine may not grant: check mounted() and skip with error() as the reason.
class SmallVolume {
public:
    SmallVolume(std::string path, const std::string& size, bool readOnly = false);
    SmallVolume(const SmallVolume&) = delete;
    SmallVolume& operator=(const SmallVolume&) = delete;
    ~SmallVolume();

    bool mounted() const noexcept { return mounted_; }
    const std::string& error() const noexcept { return error_; }
    const std::string& path() const noexcept { return path_; }
    // Blocks in use; a volume nothing was left on uses none.
    std::uint64_t usedBlocks() const;
    // Bytes an unprivileged writer could still put on the volume.
    std::uint64_t availableBytes() const;

private:
    std::string path_;
    bool mounted_ = false;
    std::string error_;
};

}  // namespace tolvane::test
