// Feeds arbitrary bytes, as an in-memory file, to the central-directory inspector. Besides the
// sanitizers' own findings it checks that the walk agrees with itself: with and without a
// per-entry callback it reaches the same verdict, each record it hands out is the one the fixed
// header describes, an error thrown by the callback arrives unchanged, and the descriptor's file
// offset is never touched.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <system_error>

#include "core/archive/ArchiveLimits.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ZipCentralDirectoryInspector.h"
#include "core/archive/ZipFormat.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace tolvane;

struct Outcome {
    std::optional<std::uint64_t> count;
    std::optional<ArchivePipelineError::Code> error;
    friend bool operator==(const Outcome&, const Outcome&) = default;
};

struct Sentinel {
    std::uint64_t index;
};

// The decoded fields agree with the fixed record; sizes and offset only where no ZIP64 block
// stands in for them.
void checkEntry(const ZipCentralEntry& entry, std::uint64_t index) {
    namespace Central = ZipFormat::CentralHeader;
    FUZZ_REQUIRE(entry.centralRecord.size() == ZipFormat::centralHeaderSize &&
                 entry.index == index);
    const auto* record = reinterpret_cast<const unsigned char*>(entry.centralRecord.data());
    FUZZ_REQUIRE(ZipFormat::get32(record) == ZipFormat::centralHeaderSignature);
    FUZZ_REQUIRE(ZipFormat::get16(record + Central::flags) == entry.flags);
    FUZZ_REQUIRE(ZipFormat::get16(record + Central::nameLength) == entry.name.size());
    FUZZ_REQUIRE(ZipFormat::get16(record + Central::extraLength) == entry.extraField.size());
    FUZZ_REQUIRE(ZipFormat::get16(record + Central::method) == entry.method);
    FUZZ_REQUIRE(entry.method == ZipFormat::methodStored ||
                 entry.method == ZipFormat::methodDeflate);
    FUZZ_REQUIRE((entry.flags & 0x2041) == 0);
    FUZZ_REQUIRE(ZipFormat::get16(record + Central::diskNumberStart) == 0);
    FUZZ_REQUIRE(ZipFormat::get32(record + Central::crc32) == entry.crc32);
    const std::uint32_t offset = ZipFormat::get32(record + Central::localHeaderOffset);
    FUZZ_REQUIRE(offset == ZipFormat::zip64Marker32 || offset == entry.localHeaderOffset);
}

Outcome inspect(int fd, bool withCallback) {
    std::uint64_t checks = 0;
    std::uint64_t entries = 0;
    Outcome outcome;
    try {
        const auto check = [&] { ++checks; };
        ZipCentralDirectoryInspector::OnEntry onEntry;
        if (withCallback) {
            onEntry = [&](const ZipCentralEntry& entry) {
                FUZZ_REQUIRE(entries < checks);
                checkEntry(entry, entries++);
            };
        }
        outcome.count = ZipCentralDirectoryInspector::entryCount(fd, check, onEntry);
    } catch (const ArchivePipelineError& error) {
        using Code = ArchivePipelineError::Code;
        FUZZ_REQUIRE(error.code() == Code::invalidArchive ||
                     error.code() == Code::unsupportedArchiveEntry ||
                     error.code() == Code::tooManyEntries);
        outcome.error = error.code();
    } catch (const std::exception& error) {
        // An in-memory file cannot fail to be read, so a system error is a fault as well.
        FUZZ_UNEXPECTED(error);
    }
    if (outcome.count) {
        FUZZ_REQUIRE(*outcome.count <= ArchivePipeline::maxEntryCount);
        FUZZ_REQUIRE(checks == *outcome.count);
        if (withCallback) {
            FUZZ_REQUIRE(entries == *outcome.count);
        }
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const UniqueFd file = fuzz::memoryFile(fuzz::bytesOf(data, size));
    const off_t mark = static_cast<off_t>(size / 2);
    FUZZ_REQUIRE(::lseek(file.get(), mark, SEEK_SET) == mark);

    const Outcome walked = inspect(file.get(), true);
    const Outcome counted = inspect(file.get(), false);
    FUZZ_REQUIRE(walked == counted);
    FUZZ_REQUIRE(::lseek(file.get(), 0, SEEK_CUR) == mark);

    if (walked.count && *walked.count > 0) {
        const std::uint64_t stopAt = (size > 0 ? data[0] : 0) % *walked.count;
        std::uint64_t seen = 0;
        try {
            ZipCentralDirectoryInspector::entryCount(file.get(), {}, [&](const ZipCentralEntry&) {
                if (seen++ == stopAt) {
                    throw Sentinel{stopAt};
                }
            });
            FUZZ_REQUIRE(!"the callback's error was swallowed");
        } catch (const Sentinel& sentinel) {
            FUZZ_REQUIRE(sentinel.index == stopAt && seen == stopAt + 1);
        }
    }
    return 0;
}
