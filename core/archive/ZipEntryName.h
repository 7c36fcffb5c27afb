#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

// The one decoder of the raw name bytes stored in a ZIP record. Every reader of archive entries
// (the central-directory inspector, the extraction that follows it) goes through it, so they can
// never disagree about which name an entry has.
namespace ZipEntryName {

// The name as UTF-8 text. With general-purpose flag bit 11 set the bytes must already be strict
// UTF-8 and are returned unchanged; an ill-formed name is refused with
// ArchivePipelineError::invalidArchive, never repaired. Without the flag, bytes that are strict
// UTF-8 are taken as UTF-8 too (Info-ZIP's zip on Linux writes UTF-8 names without setting it);
// bytes that are whole in code page 949 (what Korean Windows tools write), without private-use or
// C1 control characters, are read in it; anything else is code page 437, the encoding ZIP assumes
// for legacy names: bytes below 0x80 are ASCII, the high half maps to the IBM PC characters.
std::string decode(std::string_view raw, std::uint16_t flags);

// The name bytes an entry goes by: the Unicode Path extra field's name when the central extra
// field's first such block is version 1, carries the CRC-32 of the raw name and a non-empty
// strict UTF-8 name; the raw name otherwise. libzip substitutes the field the same way, so both
// readers of an archive name each entry alike. The view points into raw or extraField.
std::string_view storedName(std::string_view raw, std::string_view extraField);

}  // namespace ZipEntryName
}  // namespace tolvane
