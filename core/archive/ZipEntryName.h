#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

// The one decoder of the raw name bytes stored in a ZIP record. Every reader of archive entries
// (the central-directory inspector, the comparison with the ZIP library, extraction and the
// manifest checks after it) takes its names from it, so they can never disagree about which name
// an entry has.
//
// A name is read by one rule for the whole archive: with general-purpose flag bit 11 it is
// UTF-8 (whatever an extra field says); else the Unicode Path extra field names it when the field
// matches the raw name; the names left are read in ONE encoding that the archive's writer used for
// all of them, chosen from those names together, so equal raw bytes always give equal text and a
// folder never splits from its children.
namespace ZipEntryName {

// What the names left without the flag or a matching field are read as: UTF-8 (Info-ZIP's zip on
// Linux writes it without the flag), the Windows code pages of Korean (949), Japanese (932),
// Simplified (936) and Traditional Chinese (950), and code page 437, the encoding ZIP assumes for
// legacy names and the last resort, which reads any bytes.
enum class Encoding : std::uint8_t {
    utf8,
    codePage949,
    codePage932,
    codePage936,
    codePage950,
    codePage437,
};

// Weighs the legacy names of one archive and picks the encoding they were written in. A candidate
// counts only when it reads every name whole (strict UTF-8; for a code page, only assigned
// characters, no control, private-use or backslash character: a code page's trail byte 0x5C is
// never a separator); code page 437 always counts. Among those, the most plausible reading wins,
// judged by what real names hold: UTF-8 two-byte letters inside words of their own script or
// beside ASCII letters, Hangul syllables of the common set rather than the extension rows, a
// code page's frequent characters rather than its rare ones, and few characters of East Asian
// scripts touching ASCII letters. Korean comes first where the call is close. Memory stays the
// same however many names are added.
class EncodingChooser {
public:
    // Takes one entry's name into account; a name with the flag or a matching Unicode Path field,
    // or made of ASCII alone, reads the same whatever is chosen and changes nothing.
    void add(std::string_view raw, std::uint16_t flags, std::string_view extraField);

    Encoding chosen() const;

private:
    struct Candidate {
        bool whole = true;
        std::uint64_t cost = 0;
    };
    void weigh(Encoding encoding, std::string_view raw);

    std::array<Candidate, 6> candidates_{};
};

// The entry's name as UTF-8 text, read by the archive's rule with legacy names in legacy. A name
// with flag bit 11 that is not strict UTF-8 is refused with ArchivePipelineError::invalidArchive,
// never repaired; so is a Unicode Path field that makes a folder of a file or a file of a folder.
// legacy must read every legacy name of the archive whole (as the chooser's choice does); a name
// it cannot read is refused the same way.
std::string decode(std::string_view raw, std::uint16_t flags, std::string_view extraField,
                   Encoding legacy);

// The name bytes the ZIP library reports for an entry: the Unicode Path extra field's name when
// the central extra field's first such block is version 1, carries the CRC-32 of the raw name and
// a non-empty strict UTF-8 name; the raw name otherwise, whatever the flags say. Only the
// comparison with that library uses it. The view points into raw or extraField.
std::string_view storedName(std::string_view raw, std::string_view extraField);

}  // namespace ZipEntryName
}  // namespace tolvane
