#pragma once

#include <cstdint>
#include <string_view>

namespace tolvane::ArchivePipeline {

// Entries one selection, one pack or one archive may hold; one more is tooManyEntries.
inline constexpr std::uint64_t maxEntryCount = 1'000'000;

// The file a job's path registry lives in, inside its stage.
inline constexpr std::string_view pathRegistryFileName = "path-registry.sqlite";

}  // namespace tolvane::ArchivePipeline
