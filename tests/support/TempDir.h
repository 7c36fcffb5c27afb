#pragma once

#include <map>
#include <string>
#include <utility>
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

// Builds a tree under root from (relative path, content) pairs, in order: a path ending in "/"
// is a folder (mode 0755), anything else a file with that content. A failure fails the test.
using Tree = std::map<std::string, std::string>;
void makeTree(const std::string& root,
              const std::vector<std::pair<std::string, std::string>>& items);
// The tree under root in the same form (folders as "path/" with an empty content); symbolic
// links appear as "-> target".
Tree treeOf(const std::string& root);

}  // namespace tolvane::test
