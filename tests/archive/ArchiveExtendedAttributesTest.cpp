#include "core/archive/ArchiveExtendedAttributes.h"

#include <gtest/gtest.h>

#include <numeric>

#include "core/archive/ZipFormat.h"
#include "support/Outcome.h"

namespace tolvane {
namespace {

namespace Xattr = ArchiveExtendedAttributes;
using Map = Xattr::Map;
using namespace std::string_literals;
const std::string badName = "invalid extended attribute name",
                  invalid = "invalidArchive: ", unsupported = "unsupportedArchiveEntry: ",
                  changed = "sourceChanged: extended attributes",
                  tooLarge = unsupported + "extended attributes exceed the ZIP extra-field limit",
                  lengths = invalid + "invalid extended attribute record length",
                  field = invalid + "invalid extended attribute field";
constexpr std::size_t fullValue = Xattr::maxBlockBytes - 12;  // fills a block beside name "a"

// "ok name=value;..." (long values by size), or the failure.
std::string outcome(const std::function<Map()>& action) {
    Map got;
    std::string text = test::outcomeOf([&] { got = action(); });
    for (const auto& [name, value] : got) {
        text += " " + name + "=" + (value.size() > 64 ? std::to_string(value.size()) : value);
    }
    return text;
}

std::string record(std::string_view name, std::string_view value) {
    std::string out;
    ZipFormat::put16(out, static_cast<std::uint16_t>(name.size()));
    ZipFormat::put32(out, static_cast<std::uint32_t>(value.size()));
    return out.append(name).append(value);
}
std::string block(std::uint16_t id, std::string_view data) {
    std::string out;
    ZipFormat::put16(out, id);
    ZipFormat::put16(out, static_cast<std::uint16_t>(data.size()));
    return out.append(data);
}
std::string attributes(std::string_view records) {
    return block(Xattr::headerID, "\1" + std::string(records));
}

TEST(ArchiveExtendedAttributesTest, EncodesTheLayoutInNameOrderWithinOneBlock) {
    EXPECT_EQ(Xattr::encodeField({{"a", "xyz"}}),
              "\x7D\xF1\x0B\x00\x01\x01\x00\x03\x00\x00\x00"
              "axyz"s);
    EXPECT_EQ(Xattr::encodeField({}), std::nullopt);
    // By composed form ("e" + U+0301 as U+00E9, after "f"); both spellings kept, by bytes.
    EXPECT_EQ(Xattr::encodeField({{"f", "1"}, {"e\xCC\x81", "2"}, {"\xC3\xA9", "3"}, {"Z", "4"}}),
              attributes(record("Z", "4") + record("f", "1") + record("e\xCC\x81", "2") +
                         record("\xC3\xA9", "3")));
    // Bookkeeping names are never written, whatever the map holds, nor any a reader would refuse.
    const std::pair<Map, std::string> cases[] = {
        {{{"a", std::string(fullValue, 'v')}}, "ok 65535"},
        {{{"a", std::string(fullValue + 1, 'v')}}, tooLarge},
        {{{"a", std::string(fullValue - 6, 'v')}, {"b", ""}}, tooLarge},  // the whole block counts
        {{{"com.apple.quarantine2", ""}, {"xdg.origin", ""}}, "ok 48"},
        {{{" ok", "1"}, {"com.apple.provenance", "x"}}, unsupported + badName},
        {{{" ok", "1"}, {"com.apple.macl", "x"}}, unsupported + badName},
        {{{" ok", "1"}, {"com.apple.quarantine", "x"}}, unsupported + badName},
        {{{" ok", "1"}, {"xdg.origin.url", "x"}}, unsupported + badName},
        {{{"", "x"}}, unsupported + badName},
        {{{"a\0b"s, "x"}}, unsupported + badName},
    };
    for (const auto& [map, expected] : cases) {
        std::size_t size = 0;
        const std::string got = test::outcomeOf([&] { size = Xattr::encodeField(map)->size(); });
        EXPECT_EQ(got == "ok" ? "ok " + std::to_string(size) : got, expected);
    }
}

TEST(ArchiveExtendedAttributesTest, DecodesOneIntactBlockOnly) {
    std::string everyByte(256, '\0');
    std::iota(everyByte.begin(), everyByte.end(), '\0');
    const Map binary{{"bytes", everyByte}, {"empty", ""}, {"nul", "a\0b"s}, {"이름", "값"}};
    const std::string zip64 = block(ZipFormat::zip64ExtraID, std::string(16, '\x7f'));
    EXPECT_EQ(Xattr::decodeField(zip64 + *Xattr::encodeField(binary)), binary);
    EXPECT_EQ(Xattr::metadataByteCount(binary), 5u + 256 + 5 + 3 + 3 + 6 + 3);

    const std::string good = attributes(record("a", "xyz"));
    const std::pair<std::string, std::string> cases[] = {
        {zip64, "ok"},
        {attributes(record("com.apple.quarantine", "q") + record("xdg.origin.url", "u")),
         "ok com.apple.quarantine=q xdg.origin.url=u"},
        {attributes(record("a", std::string(fullValue, 'v'))), "ok a=65523"},
        {attributes(record("a", std::string(fullValue + 1, 'v'))), field},
        {good + "\x01", invalid + "truncated ZIP extra field"},
        {block(Xattr::headerID, ""), field},
        {block(Xattr::headerID, "\2" + record("a", "xyz")), field},
        {good + zip64 + attributes(""), field},
        {attributes(record("a", "xyz").substr(0, 5)),
         invalid + "truncated extended attribute record"},
        {attributes(record("", "xyz")), lengths},
        {attributes(record("a", "xyz").substr(0, 9)), lengths},
        {attributes("\x01\x00\xFF\xFF\xFF\xFF"s + "a"), lengths},  // would wrap a 32-bit sum
        {attributes(record("\xFF", "1")), invalid + badName},
        {attributes(record("a\0b"s, "1")), invalid + badName},
        {attributes(record("com.apple.provenance", "p")), invalid + badName},
        {attributes(record("a", "1") + record("b", "") + record("a", "1")), invalid + badName},
    };
    for (const auto& [bytes, expected] : cases) {
        EXPECT_EQ(outcome([&] { return Xattr::decodeField(bytes); }), expected) << expected;
    }
}

// Scripted flistxattr/fgetxattr: each call sees the next list or value (the last repeats); a
// missing one fails with `error`, a zero size asks for the size, a short buffer is ERANGE, and
// success leaves a stale errno behind, as a real call may.
struct FakeFile {
    std::vector<std::optional<std::string>> lists;
    std::map<std::string, std::vector<std::optional<std::string>>> values{};
    int error = ENODATA;
    std::map<std::string, int> calls{};

    ssize_t answer(const std::string& key, void* out, std::size_t size) {
        const auto& all = key.empty() ? lists : values[key];
        const auto& content = all[std::min<std::size_t>(calls[key]++, all.size() - 1)];
        errno = !content ? error : size != 0 && size < content->size() ? ERANGE : 0;
        if (errno != 0) {
            return -1;
        }
        std::copy_n(content->data(), size == 0 ? 0 : content->size(), static_cast<char*>(out));
        errno = EACCES;
        return static_cast<ssize_t>(content->size());
    }
    Xattr::SystemCalls systemCalls() {
        return {[this](int, char* out, std::size_t size) { return answer("", out, size); },
                [this](int, const char* name, void* out, std::size_t size) {
                    return answer(name, out, size);
                }};
    }
};

TEST(ArchiveExtendedAttributesTest, ReadsUserNamesAndRefusesWhatChangesMeanwhile) {
    const std::string a = "user.a\0"s, ab = a + "user.b\0"s;
    const auto value = [&](std::vector<std::optional<std::string>> seen) {
        return FakeFile{{a}, {{"user.a", std::move(seen)}}};
    };
    const std::pair<FakeFile, std::string> cases[] = {
        {{{std::nullopt}, {}, ENOTSUP}, "ok"},
        {{{std::nullopt}, {}, EACCES}, "errno EACCES"},
        {{{std::string(Xattr::maxNameListBytes + 1, 'x')}},
         unsupported + "extended attribute names exceed the supported limit"},
        {{{a, ab}, {{"user.a", {"1"}}}}, changed},
        {{{ab, a}, {{"user.a", {"1"}}}}, "ok a=1"},
        {{{a + "user.b"}}, unsupported + "unterminated extended attribute name"},
        {{{"user.\0"s}}, unsupported + badName},
        {{{"user." + std::string(Xattr::maxNameBytes + 1, 'n') + '\0'}},
         unsupported + "extended attribute name is too long"},
        {{{"security.\xFF\0trusted.t\0user.com.apple.quarantine\0user.xdg.origin.url\0user.c\0"
           "user.b\0user.a\0"s},
          {{"user.a", {""}}, {"user.b", {"\0\xFF"s}}, {"user.c", {"z"}}}},
         "ok a= b=\0\xFF"s + " c=z"},
        {value({std::nullopt}), changed},
        {value({"abc", std::nullopt}), changed},
        {value({"abc", "abcd"}), changed},
        {value({"", "abc"}), changed},
        {value({"abc", "xyz"}), "ok a=xyz"},
        {{{a}, {{"user.a", {std::nullopt}}}, EIO}, "errno EIO"},
    };
    for (auto [file, expected] : cases) {
        EXPECT_EQ(outcome([&] { return Xattr::read(3, file.systemCalls()); }), expected);
    }
    // The block limit is checked before a value is fetched: "b" is asked only for its size.
    FakeFile over{{ab},
                  {{"user.a", {std::string(65000, 'a')}}, {"user.b", {std::string(517, 'b')}}}};
    EXPECT_EQ(outcome([&] { return Xattr::read(3, over.systemCalls()); }), tooLarge);
    EXPECT_EQ(over.calls["user.b"], 1);
    over.values["user.b"] = {std::string(516, 'b')};
    EXPECT_EQ(Xattr::encodeField(Xattr::read(3, over.systemCalls()))->size(), Xattr::maxBlockBytes);
}

}  // namespace
}  // namespace tolvane
