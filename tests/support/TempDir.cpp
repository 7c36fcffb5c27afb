#include "support/TempDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <gtest/gtest.h>

#include "core/common/Posix.h"

namespace tolvane::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tolvane-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    // Tests may leave directories without owner permissions; restore them so removal works.
    for (auto it = fs::recursive_directory_iterator(
             path_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            ::chmod(it->path().c_str(), 0700);
        }
    }
    ::chmod(path_.c_str(), 0700);
    fs::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& relative) const {
    return path_ + "/" + relative;
}

void writeFile(const std::string& path, const std::string& content) {
    UniqueFd fd = posix::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix::writeAll(fd.get(), content.data(), content.size());
}

std::string readFile(const std::string& path) {
    UniqueFd fd = posix::open(path, O_RDONLY);
    std::string content;
    char buffer[65536];
    for (;;) {
        const std::size_t got = posix::readSome(fd.get(), buffer, sizeof buffer);
        if (got == 0) {
            return content;
        }
        content.append(buffer, got);
    }
}

std::vector<std::string> namesIn(const std::string& folder) {
    try {
        std::vector<std::string> names =
            posix::listDirectory(posix::open(folder, O_RDONLY | O_DIRECTORY).get(), folder);
        std::sort(names.begin(), names.end());
        return names;
    } catch (const std::system_error& error) {
        ADD_FAILURE() << "cannot list " << folder << ": " << error.what();
        return {};
    }
}

void makeTree(const std::string& root,
              const std::vector<std::pair<std::string, std::string>>& items) {
    for (const auto& [relative, content] : items) {
        const std::string path = root + "/" + relative;
        if (!relative.empty() && relative.back() == '/') {
            EXPECT_EQ(::mkdir(path.c_str(), 0755), 0) << path << ": " << std::strerror(errno);
        } else {
            writeFile(path, content);
        }
    }
}

namespace {
void collectTree(const std::string& root, const std::string& below, Tree& tree) {
    for (const std::string& name : namesIn(below.empty() ? root : root + "/" + below)) {
        const std::string relative = below.empty() ? name : below + "/" + name;
        const std::string path = root + "/" + relative;
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        if (S_ISDIR(st.st_mode)) {
            tree[relative + "/"] = "";
            collectTree(root, relative, tree);
        } else if (S_ISLNK(st.st_mode)) {
            std::string target(4096, '\0');
            const ssize_t size = ::readlink(path.c_str(), target.data(), target.size());
            target.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
            tree[relative] = "-> " + target;
        } else {
            tree[relative] = readFile(path);
        }
    }
}
}  // namespace

Tree treeOf(const std::string& root) {
    Tree tree;
    collectTree(root, {}, tree);
    return tree;
}

}  // namespace tolvane::test
