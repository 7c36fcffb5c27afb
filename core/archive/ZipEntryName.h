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
// ArchivePipelineError::invalidArchive, never repaired. Without the flag the bytes are code page
// 437, the encoding ZIP assumes for legacy names: bytes below 0x80 are ASCII, the high half maps to
// the IBM PC characters.
std::string decode(std::string_view raw, std::uint16_t flags);

}  // namespace ZipEntryName
}  // namespace tolvane
