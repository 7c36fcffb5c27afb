#include "core/archive/ArchiveExtendedAttributes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ZipFormat.h"
#include "core/common/Posix.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

namespace Xattr = ArchiveExtendedAttributes;
using Map = Xattr::Map;

// "ok {name=value,...}", short values in hex, long ones by size.
std::string render(const Map& attributes) {
    std::string out = "ok {";
    static const char* digits = "0123456789abcdef";
    for (const auto& [name, value] : attributes) {
        out += name + "=";
        if (value.size() > 64) {
            out += "<" + std::to_string(value.size()) + " bytes>,";
            continue;
        }
        for (unsigned char c : value) {
            out += digits[c >> 4];
            out += digits[c & 15];
        }
        out += ",";
    }
    return out + "}";
}

// The result of f, or its failure as "<case>: <detail>" or "errno N".
template <typename F>
std::string outcomeOf(F&& f) {
    using Code = ArchivePipelineError::Code;
    try {
        return f();
    } catch (const ArchivePipelineError& e) {
        const Code code = e.code();
        return std::string(code == Code::sourceChanged             ? "sourceChanged: "
                           : code == Code::unsupportedArchiveEntry ? "unsupported: "
                           : code == Code::invalidArchive          ? "invalid: "
                                                                   : "other archive error: ") +
               e.detail();
    } catch (const std::system_error& e) {
        return "errno " + std::to_string(e.code().value());
    }
}

std::string decodeOutcome(const std::string& field) {
    return outcomeOf([&] { return render(Xattr::decodeField(field)); });
}

std::string encodeOutcome(const Map& attributes) {
    return outcomeOf([&] {
        const std::optional<std::string> block = Xattr::encodeField(attributes);
        return block ? "ok " + std::to_string(block->size()) : std::string("none");
    });
}

std::string record(std::string_view name, std::string_view value) {
    std::string out;
    ZipFormat::put16(out, static_cast<std::uint16_t>(name.size()));
    ZipFormat::put32(out, static_cast<std::uint32_t>(value.size()));
    out += name;
    out += value;
    return out;
}

// A block with an explicit data-size field, so it can also lie about its length.
std::string block(std::uint16_t id, std::string_view data, std::optional<std::uint16_t> dataSize) {
    std::string out;
    ZipFormat::put16(out, id);
    ZipFormat::put16(out, dataSize.value_or(static_cast<std::uint16_t>(data.size())));
    out += data;
    return out;
}

std::string xattrBlock(std::string_view records) {
    return block(Xattr::headerID, std::string(1, '\1') + std::string(records), std::nullopt);
}

// The value that fills a block with one attribute named "a": header 4, version 1, record
// header 6 and name 1 around it.
constexpr std::size_t fullValue = Xattr::maxBlockBytes - 12;

const std::string zip64Block =
    block(ZipFormat::zip64ExtraID, std::string(16, '\x7f'), std::nullopt);

TEST(ArchiveExtendedAttributesTest, EncodesTheReferenceRecordAndSortsNames) {
    const std::string expected("\x7D\xF1\x0B\x00\x01\x01\x00\x03\x00\x00\x00\x61\x78\x79\x7A", 15);
    EXPECT_EQ(Xattr::encodeField(Map{{"a", "xyz"}}), expected);
    EXPECT_EQ(render(Xattr::decodeField(expected)), "ok {a=78797a,}");
    EXPECT_EQ(Xattr::encodeField(Map{}), std::nullopt);

    // Names sort by their composed form: "e\u0301" sorts as U+00E9, after "f", and the two
    // spellings of the same text stay distinct, in byte order.
    const std::string composed = "\xC3\xA9";
    const std::string decomposed = "e\xCC\x81";
    const Map attributes{{"f", "1"}, {decomposed, "2"}, {composed, "3"}, {"Z", "4"}};
    const std::optional<std::string> encoded = Xattr::encodeField(attributes);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(*encoded, xattrBlock(record("Z", "4") + record("f", "1") + record(decomposed, "2") +
                                   record(composed, "3")));
    EXPECT_EQ(Xattr::decodeField(*encoded), attributes);
}

TEST(ArchiveExtendedAttributesTest, RoundTripsBinaryValues) {
    std::string everyByte;
    for (int i = 0; i < 256; ++i) {
        everyByte.push_back(static_cast<char>(i));
    }
    const Map attributes{
        {"bytes", everyByte}, {"empty", ""}, {"nul", std::string("a\0b\0", 4)}, {"이름", "값"}};
    const std::optional<std::string> encoded = Xattr::encodeField(attributes);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(Xattr::decodeField(*encoded), attributes);
    // The same block behind a foreign one.
    EXPECT_EQ(Xattr::decodeField(zip64Block + *encoded), attributes);
    EXPECT_EQ(Xattr::metadataByteCount({}), 0u);
    EXPECT_EQ(Xattr::metadataByteCount(attributes), 5u + 256 + 5 + 3 + 4 + 6 + 3);
}

TEST(ArchiveExtendedAttributesTest, EncodeKeepsTheBlockLimitAndRefusesBadNames) {
    const std::string tooLarge =
        "unsupported: extended attributes exceed the ZIP extra-field limit";
    const std::string badName = "unsupported: invalid extended attribute name";
    const std::pair<Map, std::string> cases[] = {
        {{{"a", std::string(fullValue, 'v')}}, "ok 65535"},
        {{{"a", std::string(fullValue + 1, 'v')}}, tooLarge},
        // The limit counts the whole block, not only the record that crosses it.
        {{{"a", std::string(fullValue - 7, 'v')}, {"b", ""}}, "ok 65535"},
        {{{"a", std::string(fullValue - 6, 'v')}, {"b", ""}}, tooLarge},
        // The longest name fits the record format but never a block.
        {{{std::string(Xattr::maxNameBytes, 'n'), ""}}, tooLarge},
        {{{std::string(Xattr::maxNameBytes + 1, 'n'), ""}}, badName},
        // Near misses of the bookkeeping names are ordinary names.
        {{{"com.apple.quarantine2", ""}, {"xdg.origin", ""}}, "ok 48"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(encodeOutcome(cases[i].first), cases[i].second) << "case " << i;
    }
    // Valid attributes before the bad one make no difference. The last name holds a surrogate.
    for (const std::string& name :
         {std::string("com.apple.provenance"), std::string("com.apple.macl"),
          std::string("com.apple.quarantine"), std::string("xdg.origin.url"), std::string(),
          std::string("a\0b", 3), std::string("\xFF"), std::string("a\xED\xA0\x80")}) {
        EXPECT_EQ(encodeOutcome({{" ok", "1"}, {name, "x"}}), badName) << name;
    }

    const std::optional<std::string> full =
        Xattr::encodeField({{"a", std::string(fullValue, 'v')}});
    ASSERT_TRUE(full);
    EXPECT_EQ(ZipFormat::get16(reinterpret_cast<const unsigned char*>(full->data()) + 2), 65531);
    EXPECT_EQ(Xattr::decodeField(*full).at("a").size(), fullValue);
}

TEST(ArchiveExtendedAttributesTest, DecodeRefusesDamagedFieldsOnly) {
    const std::string fieldError = "invalid: invalid extended attribute field";
    const std::string lengthError = "invalid: invalid extended attribute record length";
    const std::string nameError = "invalid: invalid extended attribute name";
    const std::string good = xattrBlock(record("a", "xyz"));
    const std::string fullData = std::string(1, '\1') + record("a", std::string(fullValue, 'v'));
    // One byte more than the largest block, with every byte it claims present.
    const std::string overData =
        std::string(1, '\1') + record("a", std::string(fullValue + 1, 'v'));
    const std::pair<std::string, std::string> cases[] = {
        {"", "ok {}"},
        {zip64Block, "ok {}"},
        {zip64Block + good, "ok {a=78797a,}"},
        {good + block(0x7875, std::string("\1\4\0\0\0\0", 6), std::nullopt), "ok {a=78797a,}"},
        // A version byte with no records: a block, but no attributes.
        {xattrBlock(""), "ok {}"},
        {xattrBlock(record("b", std::string("\0\xFF", 2)) + record("a", "")), "ok {a=,b=00ff,}"},
        // Restoring filters these; they are not a sign of damage.
        {xattrBlock(record("com.apple.quarantine", "q") + record("com.apple.macl", "m") +
                    record("xdg.origin.url", "u")),
         "ok {com.apple.macl=6d,com.apple.quarantine=71,xdg.origin.url=75,}"},
        // Exactly the largest block, and one byte more.
        {block(Xattr::headerID, fullData, std::nullopt), "ok {a=<65523 bytes>,}"},
        {block(Xattr::headerID, overData, std::nullopt), fieldError},

        {"\x7D\xF1\x00", "invalid: truncated ZIP extra field"},
        {good + "\x01", "invalid: truncated ZIP extra field"},
        {block(ZipFormat::zip64ExtraID, "12345678", 9), "invalid: truncated ZIP extra field data"},
        {block(Xattr::headerID, "", std::nullopt), fieldError},
        {block(Xattr::headerID, "\2" + record("a", "xyz"), std::nullopt), fieldError},
        {good + xattrBlock(record("b", "1")), fieldError},
        {xattrBlock("") + good, fieldError},
        {xattrBlock(record("a", "xyz").substr(0, 5)),
         "invalid: truncated extended attribute record"},
        {xattrBlock(record("", "xyz")), lengthError},
        {xattrBlock(record("a", "xyz").substr(0, 9)), lengthError},
        // Lengths that would wrap a 32-bit sum.
        {xattrBlock(std::string("\xFF\xFF\xFF\xFF\xFF\xFF", 6) + "abc"), lengthError},
        {xattrBlock(std::string("\x01\x00\xFF\xFF\xFF\xFF", 6) + "a"), lengthError},
        {xattrBlock(record("\xFF", "1")), nameError},
        {xattrBlock(record("\xC0\xAF", "1")), nameError},  // overlong "/"
        {xattrBlock(record(std::string("a\0b", 3), "1")), nameError},
        {xattrBlock(record("com.apple.provenance", "p")), nameError},
        {xattrBlock(record("a", "1") + record("a", "2")), nameError},
        {xattrBlock(record("a", "1") + record("b", "") + record("a", "1")), nameError},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(decodeOutcome(cases[i].first), cases[i].second) << "case " << i;
    }
}

// A scripted file for read(): successive name lists and values, each call seeing the next one
// (the last repeats), answering like the kernel: a zero size asks for the size, a short buffer is
// ERANGE. Successful calls leave a stale errno behind, as a real call may.
struct FakeFile {
    std::vector<std::string> lists{};
    int listError = 0;
    // Full names; nullopt means the attribute is gone at that call.
    std::map<std::string, std::vector<std::optional<std::string>>> values{};
    std::map<std::string, int> valueErrors{};
    std::map<std::string, int> valueCalls{};
    int listCalls = 0;

    template <typename T>
    static const T& at(const std::vector<T>& items, int call) {
        return items[std::min<std::size_t>(static_cast<std::size_t>(call), items.size() - 1)];
    }

    static ssize_t answer(const std::string& content, void* buffer, std::size_t size) {
        if (size != 0 && size < content.size()) {
            errno = ERANGE;
            return -1;
        }
        std::copy_n(content.data(), size == 0 ? 0 : content.size(), static_cast<char*>(buffer));
        errno = EACCES;
        return static_cast<ssize_t>(content.size());
    }

    Xattr::SystemCalls calls() {
        return {
            [this](int, char* list, std::size_t size) -> ssize_t {
                const int call = listCalls++;
                if (listError != 0) {
                    errno = listError;
                    return -1;
                }
                return answer(at(lists, call), list, size);
            },
            [this](int, const char* name, void* value, std::size_t size) -> ssize_t {
                const int call = valueCalls[name]++;
                if (const auto error = valueErrors.find(name); error != valueErrors.end()) {
                    errno = error->second;
                    return -1;
                }
                const auto found = values.find(name);
                if (found == values.end() || !at(found->second, call)) {
                    errno = ENODATA;
                    return -1;
                }
                return answer(*at(found->second, call), value, size);
            },
        };
    }
};

std::string readOutcome(FakeFile& file) {
    const Xattr::SystemCalls calls = file.calls();
    return outcomeOf([&] { return render(Xattr::read(3, calls)); });
}

TEST(ArchiveExtendedAttributesTest, ReadFollowsTheNameList) {
    using namespace std::string_literals;
    const std::string changed = "sourceChanged: extended attributes";
    const std::string badName = "unsupported: invalid extended attribute name";
    struct Case {
        std::string label;
        FakeFile file;
        std::string expected;
    };
    std::vector<Case> cases = {
        {"no list support", {.listError = ENOTSUP}, "ok {}"},
        {"list fails", {.listError = EACCES}, "errno " + std::to_string(EACCES)},
        {"list fails with an unknown errno", {.listError = -1}, "errno " + std::to_string(EIO)},
        {"empty list", {.lists = {""}}, "ok {}"},
        {"over-long list",
         {.lists = {std::string(Xattr::maxNameListBytes + 1, 'x')}},
         "unsupported: extended attribute names exceed the supported limit"},
        {"longest list, host names only",
         {.lists = {"trusted." + std::string(Xattr::maxNameListBytes - 9, 't') + '\0'}},
         "ok {}"},
        {"list grew",
         {.lists = {"user.a\0"s, "user.a\0user.b\0"s}, .values = {{"user.a", {"1"}}}},
         changed},
        {"list shrank",
         {.lists = {"user.a\0user.b\0"s, "user.a\0"s}, .values = {{"user.a", {"1"}}}},
         "ok {a=31,}"},
        {"list emptied", {.lists = {"user.a\0"s, ""}}, "ok {}"},
        {"unterminated",
         {.lists = {"user.a\0user.b"s}, .values = {{"user.a", {"1"}}}},
         "unsupported: unterminated extended attribute name"},
        {"empty entry", {.lists = {"user.a\0\0"s}, .values = {{"user.a", {"1"}}}}, badName},
        {"empty user name", {.lists = {"user.\0"s}}, badName},
        {"non-UTF-8 user name", {.lists = {"user.\xFF\0"s}}, badName},
        {"host namespaces",
         {.lists = {"security.\xFF\0trusted.t\0system.posix_acl_access\0"s}},
         "ok {}"},
        {"bookkeeping",
         {.lists = {"user.com.apple.quarantine\0user.xdg.origin.url\0user.com.apple.macl\0"
                    "user.com.apple.provenance\0user.k\0"s},
          .values = {{"user.k", {"v"}}}},
         "ok {k=76,}"},
        {"sorted, binary and empty values",
         {.lists = {"user.b\0user.a\0user.c\0"s},
          .values = {{"user.a", {""}}, {"user.b", {"\0\xFF"s}}, {"user.c", {"z"}}}},
         "ok {a=,b=00ff,c=7a,}"},
        {"name too long",
         {.lists = {"user." + std::string(Xattr::maxNameBytes + 1, 'n') + '\0'}},
         "unsupported: extended attribute name is too long"},
    };
    for (Case& c : cases) {
        EXPECT_EQ(readOutcome(c.file), c.expected) << c.label;
    }
}

TEST(ArchiveExtendedAttributesTest, ReadFailsWhenAValueChangesWhileItIsRead) {
    using Values = std::vector<std::optional<std::string>>;
    const std::string changed = "sourceChanged: extended attributes";
    // What the size query sees, then what the read sees. A read that succeeds with fewer bytes
    // leaves a stale errno: the value merely changed.
    const std::pair<Values, std::string> cases[] = {
        {{"abc"}, "ok {a=616263,}"},
        {{std::nullopt}, changed},
        {{"abc", std::nullopt}, changed},
        {{"abc", "abcd"}, changed},
        {{"abc", "ab"}, changed},
        {{"abc", ""}, changed},
        {{"", "abc"}, changed},
        {{"abc", "xyz"}, "ok {a=78797a,}"},  // same length, new bytes
    };
    for (const auto& [values, expected] : cases) {
        FakeFile file{.lists = {std::string("user.a\0", 7)}, .values = {{"user.a", values}}};
        EXPECT_EQ(readOutcome(file), expected)
            << values.size() << " " << values.back().value_or("-");
    }

    for (const int error : {EPERM, EIO, ENOTSUP}) {
        FakeFile file{.lists = {std::string("user.a\0", 7)}, .valueErrors = {{"user.a", error}}};
        EXPECT_EQ(readOutcome(file), "errno " + std::to_string(error));
    }
}

TEST(ArchiveExtendedAttributesTest, ReadRefusesAnOversizedBlockBeforeFetchingTheValue) {
    // 4 + 1 + (6 + 1 + a) + (6 + 1 + b) bytes: a + b may be at most 65516.
    const std::string list("user.a\0user.b\0", 14);
    FakeFile fits{
        .lists = {list},
        .values = {{"user.a", {std::string(65000, 'a')}}, {"user.b", {std::string(516, 'b')}}}};
    const Map read = Xattr::read(3, fits.calls());
    EXPECT_EQ(read.at("b").size(), 516u);
    const std::optional<std::string> encoded = Xattr::encodeField(read);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(encoded->size(), Xattr::maxBlockBytes);

    FakeFile over{
        .lists = {list},
        .values = {{"user.a", {std::string(65000, 'a')}}, {"user.b", {std::string(517, 'b')}}}};
    EXPECT_EQ(readOutcome(over),
              "unsupported: extended attributes exceed the ZIP extra-field limit");
    EXPECT_EQ(over.valueCalls["user.a"], 2);
    EXPECT_EQ(over.valueCalls["user.b"], 1);  // its size only
}

// Real attributes on a file and a directory in a fresh directory.
TEST(ArchiveExtendedAttributesTest, ReadsUserAttributesOnly) {
    test::TempDir dir;
    test::writeFile(dir.file("item"), "content");
    const UniqueFd fd = posix::open(dir.file("item"), O_RDONLY | O_NOFOLLOW);
    if (::fsetxattr(fd.get(), "user.test", "1", 1, 0) != 0) {
        GTEST_SKIP() << "the file system under " << dir.path()
                     << " keeps no user extended attributes: " << std::strerror(errno);
    }
    ASSERT_EQ(::fremovexattr(fd.get(), "user.test"), 0);
    EXPECT_EQ(Xattr::read(fd.get()), Map{});
    EXPECT_EQ(Xattr::encodeField(Xattr::read(fd.get())), std::nullopt);

    const auto set = [](int target, const std::string& name, const std::string& value) {
        ASSERT_EQ(::fsetxattr(target, name.c_str(), value.data(), value.size(), 0), 0)
            << name << ": " << std::strerror(errno);
    };
    set(fd.get(), "user.b", std::string("\0bin\0\xFF", 6));
    set(fd.get(), "user.a", "");
    set(fd.get(), "user.이름", "값");
    set(fd.get(), "user.com.apple.quarantine", "0081;5f;x;");
    set(fd.get(), "user.xdg.origin.url", "https://example.invalid/a.zip");
    // Host attributes set as root must stay behind; some hosts refuse these namespaces.
    for (const char* name : {"trusted.tolvane", "security.tolvane"}) {
        if (::fsetxattr(fd.get(), name, "h", 1, 0) == 0) {
            EXPECT_GT(::fgetxattr(fd.get(), name, nullptr, 0), 0) << name;
        }
    }
    const Map expected{{"a", ""}, {"b", std::string("\0bin\0\xFF", 6)}, {"이름", "값"}};
    EXPECT_EQ(Xattr::read(fd.get()), expected);
    const std::optional<std::string> encoded = Xattr::encodeField(Xattr::read(fd.get()));
    ASSERT_TRUE(encoded);
    EXPECT_EQ(Xattr::decodeField(*encoded), expected);

    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0700), 0);
    const UniqueFd folder = posix::open(dir.file("folder"), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    set(folder.get(), "user.k", "v");
    EXPECT_EQ(Xattr::read(folder.get()), (Map{{"k", "v"}}));
}

}  // namespace
}  // namespace tolvane
