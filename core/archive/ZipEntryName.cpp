#include "core/archive/ZipEntryName.h"

#include <unicode/ucnv.h>
#include <zlib.h>

#include <array>
#include <memory>
#include <optional>

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

// Whether the name holds a Hangul syllable or a Hanja from the common Korean set (both bytes of
// the pair at 0xA1 or above). Code page 949's extension rows accept ASCII letters as second
// bytes, so "M\x81ller" (Müller in code page 437 and 850) is whole in it as a rare syllable; the
// common set's lead bytes are box-drawing and mathematical signs there, which names do not hold.
bool holdsCommonKorean(std::string_view raw) {
    for (std::size_t index = 0; index < raw.size(); ++index) {
        const auto lead = static_cast<unsigned char>(raw[index]);
        if (lead < 0x81 || lead == 0xFF || index + 1 == raw.size()) {
            continue;
        }
        const auto trail = static_cast<unsigned char>(raw[++index]);
        const bool hangul = lead >= 0xB0 && lead <= 0xC8;
        const bool hanja = lead >= 0xCA && lead <= 0xFD;
        if ((hangul || hanja) && trail >= 0xA1 && trail <= 0xFE) {
            return true;
        }
    }
    return false;
}

// The name as Korean Windows writes it (code page 949: ASCII plus two-byte Hangul, Hanja and
// symbols), or nothing when any byte sequence is not one of that code page's characters. Code
// page 949's user-defined rows and the lone bytes 0x80 and 0xFF decode only to private-use or C1
// control characters, which no real name holds: such a name is more likely code page 437.
std::optional<std::u32string> fromCodePage949(std::string_view raw) {
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UConverter, ConverterClose> converter(
        ucnv_open("windows-949-2000", &status));
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &status);
    // Every character of the code page lies in the Basic Multilingual Plane and takes at least
    // one byte, so the UTF-16 result is never longer than the input.
    std::u16string units(raw.size(), u'\0');
    const std::int32_t length =
        ucnv_toUChars(converter.get(), units.data(), static_cast<std::int32_t>(units.size()),
                      raw.data(), static_cast<std::int32_t>(raw.size()), &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    std::u32string scalars;
    scalars.reserve(static_cast<std::size_t>(length));
    for (std::int32_t index = 0; index < length; ++index) {
        const char16_t unit = units[static_cast<std::size_t>(index)];
        if ((unit >= 0x80 && unit <= 0x9F) || (unit >= 0xE000 && unit <= 0xF8FF)) {
            return std::nullopt;
        }
        scalars.push_back(unit);
    }
    return scalars;
}

}  // namespace

std::string decode(std::string_view raw, std::uint16_t flags) {
    if ((flags & ZipFormat::flagUTF8) != 0) {
        if (!Unicode::isValidUTF8(raw)) {
            throw ArchivePipelineError::invalidArchive("entry name is not valid UTF-8");
        }
        return std::string(raw);
    }
    // A code page 437 name is valid UTF-8 only where a box-drawing character precedes accented
    // letters, which real names hardly ever hold; a UTF-8 name without the flag is common.
    if (Unicode::isValidUTF8(raw)) {
        return std::string(raw);
    }
    // Korean Windows tools write names in their own code page without saying so; a name that is
    // whole in it and holds common Korean characters is read that way.
    const std::optional<std::u32string> korean =
        holdsCommonKorean(raw) ? fromCodePage949(raw) : std::nullopt;
    if (korean) {
        return Unicode::fromUTF32(*korean);
    }
    std::u32string scalars;
    scalars.reserve(raw.size());
    for (const char byte : raw) {
        scalars.push_back(cp437[static_cast<unsigned char>(byte)]);
    }
    return Unicode::fromUTF32(scalars);
}

std::string_view storedName(std::string_view raw, std::string_view extraField) {
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
                return raw;
            }
            const std::string_view name(reinterpret_cast<const char*>(data + fixedSize),
                                        size - fixedSize);
            const uLong crc = crc32_z(0, reinterpret_cast<const Bytef*>(raw.data()), raw.size());
            return ZipFormat::get32(data + 1) == crc && Unicode::isValidUTF8(name) ? name : raw;
        }
        position += Block::headerSize + size;
    }
    return raw;
}

}  // namespace tolvane::ZipEntryName
