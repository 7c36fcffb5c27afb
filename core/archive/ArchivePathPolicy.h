#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/archive/ArchiveValues.h"

namespace tolvane {

// Decides whether a path stored in a ZIP may be used, turns stored names into names every common
// file system accepts, and says when two paths count as the same. Pure functions.
namespace ArchivePathPolicy {

// A whole path, in UTF-8 bytes.
inline constexpr std::size_t maxPathBytes = 4096;
// One component, in UTF-8 bytes.
inline constexpr std::size_t maxComponentBytes = 255;
// A name produced by universalName, in UTF-8 bytes.
inline constexpr std::size_t maxUniversalNameBytes = 180;
// An extension kept when universalName shortens a name; a longer one is dropped.
inline constexpr std::size_t maxKeptExtensionBytes = 64;

// The relative path that may be used: trailing "/" removed for a directory. Throws
// ArchivePipelineError::unsafePath carrying the path exactly as given when the path is not valid
// UTF-8, is empty, is absolute, contains "\" or NUL, is longer than maxPathBytes, has an empty,
// ".", ".." or over-long component, has ":" in its first component, or contains a control or
// format character.
std::string validated(std::string_view path, ArchiveEntryType type);

// A portable form of one component: NFC; controls, format characters and <>:"|?*\/ become "_";
// trailing "." and " " removed; Windows device names and names of a job's stage or its markers
// prefixed with "_"; names over
// maxUniversalNameBytes cut at a grapheme boundary and tagged with the first 4 bytes of the
// SHA-256 of stableIdentity. Never empty; the same arguments always give the same result.
// Expects valid UTF-8; an ill-formed sequence becomes U+FFFD, so the result is always valid.
std::string universalName(std::string_view name, std::string_view stableIdentity);

// validated(path, type) with every component replaced by its universal name; a component's
// identity is the validated path up to and including it, so equal long names in different folders
// get different tags. Throws as validated does.
std::string compatibleExtractionPath(std::string_view path, ArchiveEntryType type);

// Two paths with equal keys are one path: ASCII paths lower-cased; others NFC, then full case
// folding without diacritic folding, then NFC again. Expects valid UTF-8; an ill-formed sequence
// counts as U+FFFD, so such paths may collide with each other but the key is always valid UTF-8.
std::string collisionKey(std::string_view path);

}  // namespace ArchivePathPolicy
}  // namespace tolvane
