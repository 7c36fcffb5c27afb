#include "core/archive/ZipEntryName.h"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/uscript.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ZipFormat.h"
#include "core/common/Unicode.h"

namespace tolvane::ZipEntryName {

namespace {

// Code page 437 as every mainstream ZIP tool reads names: the low half is plain ASCII (control
// bytes stay control characters, so the path rules refuse them exactly as they would in a UTF-8
// name), the high half is the IBM PC character set.
constexpr std::array<char16_t, 256> cp437 = {
    0x0000, 0x0001, 0x0002, 0x0003, 0x0004, 0x0005, 0x0006, 0x0007,  // 0x00
    0x0008, 0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x000E, 0x000F,  // 0x08
    0x0010, 0x0011, 0x0012, 0x0013, 0x0014, 0x0015, 0x0016, 0x0017,  // 0x10
    0x0018, 0x0019, 0x001A, 0x001B, 0x001C, 0x001D, 0x001E, 0x001F,  // 0x18
    0x0020, 0x0021, 0x0022, 0x0023, 0x0024, 0x0025, 0x0026, 0x0027,  // 0x20
    0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F,  // 0x28
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037,  // 0x30
    0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F,  // 0x38
    0x0040, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045, 0x0046, 0x0047,  // 0x40
    0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F,  // 0x48
    0x0050, 0x0051, 0x0052, 0x0053, 0x0054, 0x0055, 0x0056, 0x0057,  // 0x50
    0x0058, 0x0059, 0x005A, 0x005B, 0x005C, 0x005D, 0x005E, 0x005F,  // 0x58
    0x0060, 0x0061, 0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067,  // 0x60
    0x0068, 0x0069, 0x006A, 0x006B, 0x006C, 0x006D, 0x006E, 0x006F,  // 0x68
    0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077,  // 0x70
    0x0078, 0x0079, 0x007A, 0x007B, 0x007C, 0x007D, 0x007E, 0x007F,  // 0x78
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 0x80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 0x88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 0x90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,  // 0x98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // 0xA0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // 0xA8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // 0xB0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // 0xB8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // 0xC0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // 0xC8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // 0xD0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // 0xD8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // 0xE0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,  // 0xE8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // 0xF0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,  // 0xF8
};

struct ConverterClose {
    void operator()(UConverter* converter) const noexcept { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterClose>;

constexpr std::size_t indexOf(Encoding encoding) {
    return static_cast<std::size_t>(encoding);
}

// How much less unlikely another East Asian code page's reading must be for it to win over
// Korean: Korean names are this system's first audience, and the common Hangul rows read as
// frequent Hanzi in the Chinese code pages.
constexpr std::uint64_t koreanMargin = 1;

// ICU's tables of the Windows code pages themselves (ICU's plain "cp949" is IBM's variant, and its
// "Shift_JIS" reads 0x5C as a yen sign).
const char* converterName(Encoding encoding) {
    switch (encoding) {
        case Encoding::codePage949:
            return "windows-949-2000";
        case Encoding::codePage932:
            return "ibm-943_P15A-2003";
        case Encoding::codePage936:
            return "windows-936-2000";
        case Encoding::codePage950:
            return "windows-950-2000";
        default:
            return nullptr;
    }
}

Converter openConverter(Encoding encoding) {
    UErrorCode status = U_ZERO_ERROR;
    Converter converter(ucnv_open(converterName(encoding), &status));
    if (U_FAILURE(status)) {
        throw std::runtime_error("code page converter is missing");
    }
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &status);
    return converter;
}

// One character of a code page reading and the bytes it was read from.
struct CodedCharacter {
    char32_t scalar = 0;
    unsigned char lead = 0;
    unsigned char trail = 0;  // 0 for a one-byte character
};

// A character no name holds: unassigned, control, private-use (the code pages' user-defined rows),
// or a backslash, which in a code page reading can only be a lone 0x5C that Windows tools wrote
// as a separator.
bool unlikelyInAName(char32_t scalar) {
    const auto type = static_cast<UCharCategory>(u_charType(static_cast<UChar32>(scalar)));
    return scalar == U'\\' || type == U_UNASSIGNED || type == U_CONTROL_CHAR ||
           type == U_PRIVATE_USE_CHAR || type == U_SURROGATE;
}

// The name read in a code page, or nothing when it is not whole in it.
std::optional<std::vector<CodedCharacter>> readCodePage(UConverter* converter,
                                                        std::string_view raw) {
    ucnv_resetToUnicode(converter);
    // Every character of these code pages lies in the Basic Multilingual Plane and takes at least
    // one byte, so the reading is never longer than the input.
    std::u16string units(raw.size(), u'\0');
    std::vector<std::int32_t> offsets(raw.size());
    UChar* target = units.data();
    const char* source = raw.data();
    UErrorCode status = U_ZERO_ERROR;
    ucnv_toUnicode(converter, &target, target + units.size(), &source, source + raw.size(),
                   offsets.data(), true, &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    const auto length = static_cast<std::size_t>(target - units.data());
    std::vector<CodedCharacter> characters;
    characters.reserve(length);
    for (std::size_t index = 0; index < length; ++index) {
        const char32_t scalar = units[index];
        const auto offset = static_cast<std::size_t>(offsets[index]);
        const std::size_t next =
            index + 1 < length ? static_cast<std::size_t>(offsets[index + 1]) : raw.size();
        if (unlikelyInAName(scalar) || offset >= raw.size() || next <= offset) {
            return std::nullopt;
        }
        CodedCharacter character{scalar, static_cast<unsigned char>(raw[offset]), 0};
        if (next - offset > 1) {
            character.trail = static_cast<unsigned char>(raw[offset + 1]);
        }
        characters.push_back(character);
    }
    return characters;
}

bool isASCIILetter(char32_t scalar) {
    return (scalar >= U'a' && scalar <= U'z') || (scalar >= U'A' && scalar <= U'Z');
}

UScriptCode scriptOf(char32_t scalar) {
    UErrorCode status = U_ZERO_ERROR;
    const UScriptCode script = uscript_getScript(static_cast<UChar32>(scalar), &status);
    return U_SUCCESS(status) ? script : USCRIPT_INVALID_CODE;
}

bool isHangulSyllable(char32_t scalar) {
    return scalar >= 0xAC00 && scalar <= 0xD7A3;
}

// A syllable of code page 949's common set (a lead byte from 0xB0, a trail byte from 0xA1), the
// 2,350 that Korean names are written in; the extension rows hold the rest.
bool isCommonHangul(const CodedCharacter& character) {
    return isHangulSyllable(character.scalar) && character.lead >= 0xB0 && character.trail >= 0xA1;
}

// How unlikely one character of a code page reading is in a real name of that code page: 0 for
// ASCII and the characters names are mostly made of, more for the rare rows a reading of another
// encoding's bytes lands in.
std::uint64_t characterCost(Encoding encoding, const CodedCharacter& character) {
    const char32_t scalar = character.scalar;
    if (scalar < 0x80) {
        return 0;
    }
    const unsigned lead = character.lead;
    const unsigned trail = character.trail;
    const unsigned code = lead << 8 | trail;
    const bool han = scriptOf(scalar) == USCRIPT_HAN;
    switch (encoding) {
        case Encoding::codePage949:
            // The common set's Hanja, jamo ("ㄱ", "ㅋㅋ") and symbol rows (★, ①, kana) are as
            // likely as its syllables; the extension rows' syllables are rare.
            if (isHangulSyllable(scalar)) {
                return isCommonHangul(character) ? 0 : 2;
            }
            return han || (lead >= 0xA1 && trail >= 0xA1) ? 0 : 1;
        case Encoding::codePage932:
            if (trail == 0) {
                return 2;  // half-width katakana
            }
            if (const UScriptCode script = scriptOf(scalar); script == USCRIPT_HIRAGANA ||
                                                             script == USCRIPT_KATAKANA ||
                                                             scalar == 0x30FB || scalar == 0x30FC) {
                return 0;  // kana, with the middle dot and the long-vowel mark
            }
            if (han) {
                return code <= 0x9872 ? 0 : code <= 0xEAA4 ? 1 : 2;  // level 1, level 2, extension
            }
            return lead <= 0x84 ? 0 : 1;  // the symbol rows
        case Encoding::codePage936:
            if (trail == 0) {
                return 3;  // the euro sign, the only one-byte character above ASCII
            }
            if (han) {
                if (trail < 0xA1 || lead < 0xB0 || lead > 0xF7) {
                    return 2;  // the extension beyond GB 2312
                }
                return lead <= 0xD7 ? 0 : 1;  // level 1, level 2
            }
            // GB 2312's punctuation and full-width rows; its kana, Greek and box rows are rarer
            return lead >= 0xA1 && lead <= 0xA3 && trail >= 0xA1 ? 0 : 1;
        case Encoding::codePage950:
            if (han) {
                return code >= 0xA440 && code <= 0xC67E   ? 0   // frequent characters
                       : code >= 0xC940 && code <= 0xF9D5 ? 1   // less frequent ones
                                                          : 2;  // extensions
            }
            return code >= 0xA140 && code <= 0xA3BF ? 0 : 1;  // the symbol rows
        default:
            return 0;
    }
}

bool isWordCharacter(char32_t scalar) {
    const auto type = static_cast<UCharCategory>(u_charType(static_cast<UChar32>(scalar)));
    return u_isalpha(static_cast<UChar32>(scalar)) || type == U_NON_SPACING_MARK ||
           type == U_COMBINING_SPACING_MARK || type == U_ENCLOSING_MARK;
}

std::uint64_t codePageCost(Encoding encoding, const std::vector<CodedCharacter>& characters) {
    const bool korean = encoding == Encoding::codePage949;
    const auto at = [&](std::size_t index) {
        return index < characters.size() ? characters[index].scalar : U'\0';
    };
    std::uint64_t cost = 0;
    for (std::size_t index = 0; index < characters.size(); ++index) {
        const CodedCharacter& character = characters[index];
        const char32_t scalar = character.scalar;
        cost += characterCost(encoding, character);
        // Korean names run Hangul into Latin words at one end ("iPhone사진", "체크list"); a
        // syllable between two Latin letters, or a letter between two syllables, is a Latin
        // word's accented letter read in code page 949 ("M체ller", "챕t챕").
        const bool common = korean && isCommonHangul(character);
        const bool sandwiched =
            index > 0 && isASCIILetter(at(index - 1)) && isASCIILetter(at(index + 1));
        if (common && sandwiched) {
            cost += 2;
        }
        if (korean && isASCIILetter(scalar) && index > 0 && isCommonHangul(characters[index - 1]) &&
            index + 1 < characters.size() && isCommonHangul(characters[index + 1])) {
            cost += 2;
        }
        if (index == 0) {
            continue;
        }
        const CodedCharacter& previous = characters[index - 1];
        // Otherwise real names keep East Asian runs apart from Latin words ("사진 2024",
        // "A4용지"); another encoding's accented letters read in a code page sit inside them.
        const auto counted = [&](const CodedCharacter& c) {
            return c.scalar >= 0x80 && !(korean && isCommonHangul(c));
        };
        if ((counted(previous) && isASCIILetter(scalar)) ||
            (isASCIILetter(previous.scalar) && counted(character))) {
            cost += 1;
        }
        if (korean) {
            // Korean names write Hanja as words of their own; Chinese text read in code page
            // 949 mixes Hanja and Hangul inside one word. Code page 949's own signs and Greek
            // letters may stand anywhere ("제Ⅱ장", "α버전").
            const auto hanja = [](char32_t c) { return c >= 0x80 && scriptOf(c) == USCRIPT_HAN; };
            if ((isHangulSyllable(previous.scalar) && hanja(scalar)) ||
                (hanja(previous.scalar) && isHangulSyllable(scalar))) {
                cost += 2;
            }
            continue;
        }
        // A sign between two letters ("ㄳㅴ누", "무ⅹ쥑" the other way round) is another encoding's
        // letter read as a sign.
        if (previous.scalar >= 0x80 && scalar >= 0x80 && !isWordCharacter(scalar) &&
            isWordCharacter(previous.scalar) && isWordCharacter(at(index + 1))) {
            cost += 2;
        }
        // Nor do Greek, Cyrillic or accented letters stand inside an East Asian word.
        const auto alphabetic = [](char32_t c) {
            const UScriptCode script = scriptOf(c);
            return c >= 0x80 && (script == USCRIPT_LATIN || script == USCRIPT_GREEK ||
                                 script == USCRIPT_CYRILLIC);
        };
        const auto eastAsian = [](char32_t c) {
            const UScriptCode script = scriptOf(c);
            return script == USCRIPT_HANGUL || script == USCRIPT_HAN ||
                   script == USCRIPT_HIRAGANA || script == USCRIPT_KATAKANA;
        };
        if ((alphabetic(previous.scalar) && eastAsian(scalar)) ||
            (eastAsian(previous.scalar) && alphabetic(scalar))) {
            cost += 2;
        }
    }
    return cost;
}

// The letters beyond ASCII of the languages written in the Latin script, lower case. Every real
// Latin word's accented letters belong to one of them ("Łódź" to Polish, "Größe" to German);
// other bytes read as UTF-8 or code page 437 mix letters of several ("체크" in UTF-8 is "üũ").
constexpr std::u32string_view latinAlphabets[] = {
    U"äöüß",                       // German
    U"àâæçéèêëîïôœùûüÿ",           // French
    U"áéíóúüñ",                    // Spanish
    U"áâãàçéêíóôõúü",              // Portuguese
    U"àèéìíîòóùú",                 // Italian
    U"àçèéíïòóúüŀ",                // Catalan
    U"áäéëíïóöúüè",                // Dutch
    U"åäöéü",                      // Swedish, Finnish
    U"æøåéóôàü",                   // Danish, Norwegian
    U"áðéíóúýþæö",                 // Icelandic
    U"ąćęłńóśźż",                  // Polish
    U"áčďéěíňóřšťúůýž",            // Czech
    U"áäčďéíĺľňóôŕšťúýž",          // Slovak
    U"áéíóöőúüű",                  // Hungarian
    U"ăâîșțşţ",                    // Romanian
    U"çğıöşüâîû",                  // Turkish
    U"čćđšž",                      // Croatian, Serbian, Slovene
    U"āčēģīķļņšūž",                // Latvian
    U"ąčęėįšųūž",                  // Lithuanian
    U"äõöüšž",                     // Estonian
    U"ĉĝĥĵŝŭ",                     // Esperanto
    U"àċèġħìòùż",                  // Maltese
    U"âêîôûŵŷáéíóúàèìòùäëïöüÿ",    // Welsh
    U"àáâãèéêìíòóôõùúýăđĩũơư",     // Vietnamese, two-byte part
    U"āáǎàēéěèīíǐìōóǒòūúǔùǖǘǚǜü",  // Pinyin
    U"çë",                         // Albanian
};

bool oneLatinAlphabetHolds(std::u32string_view letters) {
    return std::any_of(std::begin(latinAlphabets), std::end(latinAlphabets), [&](auto alphabet) {
        return std::all_of(letters.begin(), letters.end(), [&](char32_t letter) {
            return alphabet.find(letter) != std::u32string_view::npos;
        });
    });
}

// Whether a two-byte letter of another script belongs to an alphabet names are written in:
// Greek, Cyrillic, Armenian, Hebrew and Arabic themselves. Greek's archaic and Coptic letters are
// what other bytes read as UTF-8 turn into ("系统" is "ϵͳ").
bool isAlphabetLetter(char32_t scalar) {
    return (scalar >= 0x386 && scalar <= 0x3CE) || (scalar >= 0x400 && scalar <= 0x52F) ||
           (scalar >= 0x531 && scalar <= 0x587) || (scalar >= 0x5D0 && scalar <= 0x5EA) ||
           (scalar >= 0x620 && scalar <= 0x6D3);
}

// How unlikely the letters and signs above ASCII are in a name read as UTF-8 (utf8) or as code
// page 437. A letter belongs in a word of its own script: a Latin one beside ASCII letters
// (Müller, café), a Greek or Cyrillic one among others of its script (Привет). Korean bytes read as
// UTF-8 give lone Latin letters ("ġŲ"); other bytes read as 437 give box-drawing signs. UTF-8's
// three- and four-byte characters are never judged: such byte patterns do not arise by chance.
std::uint64_t alphabeticCost(std::u32string_view scalars, bool utf8) {
    const auto judged = [utf8](char32_t c) { return c >= 0x80 && (!utf8 || c < 0x800); };
    std::uint64_t cost = 0;
    std::size_t index = 0;
    while (index < scalars.size()) {
        if (!isWordCharacter(scalars[index])) {
            const char32_t scalar = scalars[index];
            if (judged(scalar) && !(scalar >= 0xA0 && scalar <= 0xBF)) {
                // Latin-1's punctuation and currency signs ("¡Hola", "£") are real; code page
                // 437's box-drawing and block signs are what bytes of another code page turn
                // into, and no name is drawn with them.
                const bool drawing = scalar >= 0x2500 && scalar <= 0x25FF;
                cost += utf8 ? 1 : drawing ? 6 : 2;
            }
            ++index;
            continue;
        }
        std::uint64_t asciiLetters = 0;
        bool oneScript = true;
        bool alphabet = true;
        std::u32string latin;
        std::uint64_t letters = 0;
        std::uint64_t oddPairs = 0;
        char32_t previous = 0;
        UScriptCode wordScript = USCRIPT_INVALID_CODE;
        for (; index < scalars.size() && isWordCharacter(scalars[index]); ++index) {
            const char32_t scalar = scalars[index];
            asciiLetters += isASCIILetter(scalar) ? 1 : 0;
            if (judged(previous) && (judged(scalar) || (u_islower(static_cast<UChar32>(previous)) &&
                                                        u_isupper(static_cast<UChar32>(scalar))))) {
                ++oddPairs;
            }
            previous = scalar;
            const UScriptCode script = scriptOf(scalar);
            if (!judged(scalar) || script == USCRIPT_INHERITED) {
                continue;
            }
            ++letters;
            if (script == USCRIPT_LATIN) {
                // Turkish "İ" is a capital "i"
                const auto lower = static_cast<char32_t>(u_tolower(static_cast<UChar32>(scalar)));
                if (lower >= 0x80) {
                    latin.push_back(lower);
                }
            } else {
                alphabet = alphabet && isAlphabetLetter(scalar);
            }
            oneScript = oneScript && (wordScript == USCRIPT_INVALID_CODE || wordScript == script);
            wordScript = script;
        }
        // A Latin word's accented letters stand among its ASCII ones, come from one language and
        // seldom touch each other or start a capital inside the word ("Größe", "Łódź" once);
        // code page 932's kana read as code page 437 alternate "â" with ASCII letters of either
        // case ("âAâjâüü").
        const bool plausible = oneScript && alphabet &&
                               (wordScript == USCRIPT_LATIN ? asciiLetters > 0 && oddPairs <= 1 &&
                                                                  oneLatinAlphabetHolds(latin)
                                                            : asciiLetters == 0 && letters >= 2);
        if (letters > 0 && !plausible) {
            cost += 2 * letters;
        }
    }
    return cost;
}

std::u32string fromCodePage437(std::string_view raw) {
    std::u32string scalars;
    scalars.reserve(raw.size());
    for (const char byte : raw) {
        scalars.push_back(cp437[static_cast<unsigned char>(byte)]);
    }
    return scalars;
}

bool holdsC1Control(std::u32string_view scalars) {
    return std::any_of(scalars.begin(), scalars.end(),
                       [](char32_t c) { return c >= 0x80 && c <= 0x9F; });
}

// The Unicode Path extra field's name when it matches the raw name (see storedName).
std::optional<std::string_view> unicodePathName(std::string_view raw, std::string_view extraField) {
    namespace Block = ZipFormat::ExtraBlock;
    constexpr std::size_t fixedSize = 5;  // version and CRC-32
    std::size_t position = 0;
    while (extraField.size() - position >= Block::headerSize) {
        const auto* block = reinterpret_cast<const unsigned char*>(extraField.data() + position);
        const std::size_t size = ZipFormat::get16(block + Block::dataSize);
        if (extraField.size() - position - Block::headerSize < size) {
            break;
        }
        if (ZipFormat::get16(block + Block::id) == ZipFormat::unicodePathExtraID) {
            const unsigned char* data = block + Block::data;
            if (size <= fixedSize || data[0] != 1) {
                return std::nullopt;
            }
            const std::string_view name(reinterpret_cast<const char*>(data + fixedSize),
                                        size - fixedSize);
            const uLong crc = crc32_z(0, reinterpret_cast<const Bytef*>(raw.data()), raw.size());
            if (ZipFormat::get32(data + 1) == crc && Unicode::isValidUTF8(name)) {
                return name;
            }
            return std::nullopt;
        }
        position += Block::headerSize + size;
    }
    return std::nullopt;
}

bool isLegacyName(std::string_view raw, std::uint16_t flags, std::string_view extraField) {
    return (flags & ZipFormat::flagUTF8) == 0 && !unicodePathName(raw, extraField);
}

// One converter per code page and thread, opened when first needed: the chooser and extraction
// read every name of an archive, and opening a converter costs more than reading a name.
UConverter* threadConverter(Encoding encoding) {
    thread_local std::array<Converter, 6> converters;
    Converter& converter = converters[indexOf(encoding)];
    if (!converter) {
        converter = openConverter(encoding);
    }
    return converter.get();
}

}  // namespace

void EncodingChooser::add(std::string_view raw, std::uint16_t flags, std::string_view extraField) {
    if (!isLegacyName(raw, flags, extraField) || Unicode::isASCII(raw)) {
        return;
    }
    for (std::size_t index = 0; index < candidates_.size(); ++index) {
        if (candidates_[index].whole) {
            weigh(static_cast<Encoding>(index), raw);
        }
    }
}

void EncodingChooser::weigh(Encoding encoding, std::string_view raw) {
    Candidate& candidate = candidates_[indexOf(encoding)];
    switch (encoding) {
        case Encoding::utf8: {
            if (!Unicode::isValidUTF8(raw)) {
                candidate.whole = false;
                return;
            }
            const std::u32string scalars = Unicode::toUTF32(raw);
            if (holdsC1Control(scalars)) {
                candidate.whole = false;
                return;
            }
            candidate.cost += alphabeticCost(scalars, true);
            return;
        }
        case Encoding::codePage437:
            candidate.cost += alphabeticCost(fromCodePage437(raw), false);
            return;
        default: {
            const auto characters = readCodePage(threadConverter(encoding), raw);
            if (!characters) {
                candidate.whole = false;
                return;
            }
            candidate.cost += codePageCost(encoding, *characters);
            return;
        }
    }
}

Encoding EncodingChooser::chosen() const {
    // Ties go to the earlier candidate: UTF-8, then Korean. Code page 437 reads anything, so
    // there always is one.
    std::optional<std::size_t> found;
    for (std::size_t index = 0; index < candidates_.size(); ++index) {
        if (candidates_[index].whole &&
            (!found || candidates_[index].cost < candidates_[*found].cost)) {
            found = index;
        }
    }
    const std::size_t best = found.value_or(indexOf(Encoding::codePage437));
    const Candidate& korean = candidates_[indexOf(Encoding::codePage949)];
    const auto encoding = static_cast<Encoding>(best);
    const bool otherCodePage = encoding == Encoding::codePage932 ||
                               encoding == Encoding::codePage936 ||
                               encoding == Encoding::codePage950;
    if (otherCodePage && korean.whole && korean.cost <= candidates_[best].cost + koreanMargin) {
        return Encoding::codePage949;
    }
    return encoding;
}

std::string decode(std::string_view raw, std::uint16_t flags, std::string_view extraField,
                   Encoding legacy) {
    if ((flags & ZipFormat::flagUTF8) != 0) {
        if (!Unicode::isValidUTF8(raw)) {
            throw ArchivePipelineError::invalidArchive("entry name is not valid UTF-8");
        }
        return std::string(raw);
    }
    if (const std::optional<std::string_view> field = unicodePathName(raw, extraField)) {
        // Readers that go by the raw name take a folder for a file, or the other way round.
        if (field->ends_with('/') != raw.ends_with('/')) {
            throw ArchivePipelineError::invalidArchive(
                "entry name and its Unicode Path field disagree on a folder");
        }
        return std::string(*field);
    }
    if (Unicode::isASCII(raw)) {
        return std::string(raw);
    }
    switch (legacy) {
        case Encoding::utf8:
            if (!Unicode::isValidUTF8(raw)) {
                break;
            }
            return std::string(raw);
        case Encoding::codePage437:
            return Unicode::fromUTF32(fromCodePage437(raw));
        default: {
            const auto characters = readCodePage(threadConverter(legacy), raw);
            if (!characters) {
                break;
            }
            std::u32string scalars;
            scalars.reserve(characters->size());
            for (const CodedCharacter& character : *characters) {
                scalars.push_back(character.scalar);
            }
            return Unicode::fromUTF32(scalars);
        }
    }
    throw ArchivePipelineError::invalidArchive("entry name is not in the archive's encoding");
}

std::string_view storedName(std::string_view raw, std::string_view extraField) {
    return unicodePathName(raw, extraField).value_or(raw);
}

}  // namespace tolvane::ZipEntryName
