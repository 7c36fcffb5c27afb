#pragma once

#include <string>
#include <vector>

namespace tolvane::test {

// A fresh directory under the system temporary folder, removed with everything in it when the
// object goes away. Entries left without permissions are made removable first.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::string& path() const noexcept { return path_; }
    // path() + "/" + relative
    std::string file(const std::string& relative) const;

private:
    std::string path_;
};

// Creates or replaces a file with the given content.
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
// The names in a folder, "." and ".." left out, sorted; a folder that cannot be listed is a
// test failure and gives no names.
std::vector<std::string> namesIn(const std::string& folder);

}  // namespace tolvane::test
