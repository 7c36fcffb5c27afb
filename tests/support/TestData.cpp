#include "support/TestData.h"

#include <iconv.h>
#include <zip.h>

#include <memory>
#include <random>

#include <gtest/gtest.h>

namespace tolvane::test {

std::string randomBytes(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 generator(seed);
    std::string out(size, '\0');
    for (char& c : out) {
        c = static_cast<char>(generator() & 0xff);
    }
    return out;
}

std::string converted(const std::string& text, const char* from, const char* to) {
    const iconv_t converter = ::iconv_open(to, from);
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        ADD_FAILURE() << "no converter from " << from << " to " << to;
        return {};
    }
    std::string in = text, out(4 * text.size() + 4, '\0');
    char* source = in.data();
    char* target = out.data();
    std::size_t inLeft = in.size(), outLeft = out.size();
    const std::size_t result = ::iconv(converter, &source, &inLeft, &target, &outLeft);
    ::iconv_close(converter);
    if (result == static_cast<std::size_t>(-1)) {
        ADD_FAILURE() << "cannot convert " << text << " from " << from << " to " << to;
        return {};
    }
    out.resize(out.size() - outLeft);
    return out;
}

std::string textBytes(std::size_t size) {
    static const std::string line = "Every entry is read once: hashed, checked and compressed.\n";
    std::string out;
    out.reserve(size + line.size());
    while (out.size() < size) {
        out += line;
    }
    out.resize(size);
    return out;
}

std::map<std::string, std::string> zipEntries(const std::string& path) {
    std::map<std::string, std::string> entries;
    int error = 0;
    const std::unique_ptr<zip_t, decltype(&zip_discard)> archive(
        zip_open(path.c_str(), ZIP_RDONLY, &error), &zip_discard);
    if (!archive) {
        ADD_FAILURE() << "libzip cannot open " << path << " (error " << error << ")";
        return entries;
    }
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t index = 0; index < count; ++index) {
        zip_stat_t status;
        zip_stat_init(&status);
        const std::unique_ptr<zip_file_t, decltype(&zip_fclose)> file(
            zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(index), 0), &zip_fclose);
        if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(index), 0, &status) != 0 ||
            !file) {
            ADD_FAILURE() << "libzip cannot read entry " << index << " of " << path;
            return {};
        }
        std::string content(static_cast<std::size_t>(status.size), '\0');
        if (zip_fread(file.get(), content.data(), status.size) !=
            static_cast<zip_int64_t>(status.size)) {
            ADD_FAILURE() << "short read of " << status.name << " in " << path;
        }
        entries[status.name] = std::move(content);
    }
    return entries;
}

}  // namespace tolvane::test
