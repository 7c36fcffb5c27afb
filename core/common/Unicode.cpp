#include "core/common/Unicode.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>

namespace tolvane::Unicode {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kIllFormed = 0xFFFFFFFF;

// Reads one scalar at text[i] and advances i. An ill-formed sequence yields kIllFormed and i moves
// past its maximal subpart (at least one byte), the same split ICU and most decoders make.
char32_t decodeNext(std::string_view text, std::size_t& i) noexcept {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    int length = 0;
    char32_t scalar = 0;
    // The first continuation byte's range carries the overlong, surrogate and range checks.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        scalar = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        scalar = lead & 0x0F;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        scalar = lead & 0x07;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        ++i;
        return kIllFormed;
    }
    std::size_t j = i + 1;
    for (int k = 1; k < length; ++k, ++j) {
        if (j >= text.size()) {
            i = j;
            return kIllFormed;
        }
        const auto byte = static_cast<unsigned char>(text[j]);
        if (byte < low || byte > high) {
            i = j;
            return kIllFormed;
        }
        low = 0x80;
        high = 0xBF;
        scalar = (scalar << 6) | (byte & 0x3F);
    }
    i = j;
    return scalar;
}

void appendUTF8(std::string& out, char32_t scalar) {
    if (scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
        scalar = kReplacement;
    }
    if (scalar < 0x80) {
        out.push_back(static_cast<char>(scalar));
    } else if (scalar < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (scalar >> 6)));
        out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
    } else if (scalar < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (scalar >> 12)));
        out.push_back(static_cast<char>(0x80 | ((scalar >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (scalar >> 18)));
        out.push_back(static_cast<char>(0x80 | ((scalar >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((scalar >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
    }
}

// ICU indexes text with int32_t; nothing the core hands here comes near that, so a larger text
// is a caller's bug rather than something to process in pieces.
std::int32_t icuLength(std::string_view text) {
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::length_error("text too long for Unicode processing");
    }
    return static_cast<std::int32_t>(text.size());
}

icu::UnicodeString toICU(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), icuLength(text)));
}

std::string fromICU(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

void check(UErrorCode status, const char* what) {
    if (U_FAILURE(status)) {
        throw std::runtime_error(std::string(what) + ": " + u_errorName(status));
    }
}

struct UTextCloser {
    void operator()(UText* text) const noexcept { utext_close(text); }
};

}  // namespace

bool isValidUTF8(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size()) {
        if (decodeNext(text, i) == kIllFormed) {
            return false;
        }
    }
    return true;
}

bool isASCII(std::string_view text) noexcept {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

std::string toNFC(std::string_view text) {
    if (isASCII(text)) {
        return std::string(text);
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    check(status, "NFC normalizer");
    const icu::UnicodeString normalized = nfc->normalize(toICU(text), status);
    check(status, "NFC normalization");
    return fromICU(normalized);
}

std::string foldCase(std::string_view text) {
    icu::UnicodeString unicode = toICU(text);
    unicode.foldCase(U_FOLD_CASE_DEFAULT);
    return fromICU(unicode);
}

std::string toUpper(std::string_view text) {
    icu::UnicodeString unicode = toICU(text);
    unicode.toUpper(icu::Locale::getRoot());
    return fromICU(unicode);
}

bool isControlOrFormat(char32_t scalar) noexcept {
    if (scalar > 0x10FFFF) {
        return false;
    }
    const auto category = u_charType(static_cast<UChar32>(scalar));
    return category == U_CONTROL_CHAR || category == U_FORMAT_CHAR;
}

bool containsControlOrFormat(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size()) {
        const char32_t scalar = decodeNext(text, i);
        if (scalar != kIllFormed && isControlOrFormat(scalar)) {
            return true;
        }
    }
    return false;
}

std::string truncateToGraphemes(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return std::string(text);
    }
    const std::int32_t length = icuLength(text);

    // Creating a character break iterator loads rule data; keep one per thread.
    thread_local std::unique_ptr<icu::BreakIterator> iterator;
    UErrorCode status = U_ZERO_ERROR;
    if (!iterator) {
        iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        check(status, "grapheme break iterator");
    }
    // Over UTF-8 the iterator's boundaries are byte offsets into the text.
    std::unique_ptr<UText, UTextCloser> utext(
        utext_openUTF8(nullptr, text.data(), length, &status));
    check(status, "UTF-8 text");
    iterator->setText(utext.get(), status);
    check(status, "grapheme break iterator text");

    std::size_t kept = 0;
    for (std::int32_t boundary = iterator->first(); boundary != icu::BreakIterator::DONE;
         boundary = iterator->next()) {
        if (static_cast<std::size_t>(boundary) > maxBytes) {
            break;
        }
        kept = static_cast<std::size_t>(boundary);
    }
    return std::string(text.substr(0, kept));
}

std::u32string toUTF32(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const char32_t scalar = decodeNext(text, i);
        out.push_back(scalar == kIllFormed ? kReplacement : scalar);
    }
    return out;
}

std::string fromUTF32(std::u32string_view scalars) {
    std::string out;
    out.reserve(scalars.size());
    for (char32_t scalar : scalars) {
        appendUTF8(out, scalar);
    }
    return out;
}

std::string replacingIllFormed(std::string_view text) {
    return isValidUTF8(text) ? std::string(text) : fromUTF32(toUTF32(text));
}

}  // namespace tolvane::Unicode
