// Arbitrary bytes as a file: the same verdict with and without a per-entry callback, fields as
// the fixed record states them, equal raw legacy names read as equal text, a directory inside the
// file, only archive errors, the file offset untouched.
#include <unistd.h>

#include <map>
#include <optional>
#include <string>

#include "core/archive/ArchiveLimits.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ZipCentralDirectoryInspector.h"
#include "core/archive/ZipFormat.h"
#include "fuzz/FuzzSupport.h"

using namespace tolvane;

namespace {

std::optional<ZipCentralDirectory> inspect(int fd, std::uint64_t fileSize, bool withCallback,
                                           int& error) {
    namespace Central = ZipFormat::CentralHeader;
    std::uint64_t checks = 0, entries = 0;
    std::map<std::string, std::string, std::less<>> legacyNames;
    std::optional<std::uint64_t> firstPass;
    ZipCentralDirectoryInspector::OnEntry onEntry;
    if (withCallback) {
        onEntry = [&](const ZipCentralEntry& e) {
            const auto* r = reinterpret_cast<const unsigned char*>(e.centralRecord.data());
            const std::uint32_t offset = ZipFormat::get32(r + Central::localHeaderOffset);
            // Each record is handed over right after its own check of the second pass.
            FUZZ_REQUIRE(e.index == entries++ && checks >= entries);
            firstPass = firstPass.value_or(checks - entries);
            FUZZ_REQUIRE(checks - entries == *firstPass);
            FUZZ_REQUIRE(ZipFormat::get16(r + Central::flags) == e.flags &&
                         (e.flags & 0x2041) == 0);
            FUZZ_REQUIRE(ZipFormat::get16(r + Central::method) == e.method && (e.method | 8) == 8);
            FUZZ_REQUIRE(ZipFormat::get16(r + Central::nameLength) == e.name.size());
            FUZZ_REQUIRE(ZipFormat::get16(r + Central::extraLength) == e.extraField.size());
            FUZZ_REQUIRE(ZipFormat::get32(r + Central::crc32) == e.crc32);
            FUZZ_REQUIRE(offset == ZipFormat::zip64Marker32 || offset == e.localHeaderOffset);
            if ((e.flags & ZipFormat::flagUTF8) == 0 &&
                ZipEntryName::storedName(e.name, e.extraField).data() == e.name.data()) {
                const auto [known, added] = legacyNames.try_emplace(std::string(e.name), e.path);
                FUZZ_REQUIRE(added || known->second == e.path);
            }
        };
    }
    try {
        const ZipCentralDirectory directory = ZipCentralDirectoryInspector::inspect(
            fd, [&] { ++checks; }, onEntry);
        const std::uint64_t count = directory.entryCount;
        // One pass weighs the names' encoding, the other walks the records.
        FUZZ_REQUIRE(count <= ArchivePipeline::maxEntryCount && checks == 2 * count);
        FUZZ_REQUIRE(!withCallback || (entries == count && (count == 0 || *firstPass == count)));
        FUZZ_REQUIRE(directory.offset <= fileSize && directory.size <= fileSize - directory.offset);
        FUZZ_REQUIRE(directory.size >= count * ZipFormat::centralHeaderSize);
        return directory;
    } catch (const ArchivePipelineError& e) {
        using Code = ArchivePipelineError::Code;
        FUZZ_REQUIRE(e.code() == Code::invalidArchive || e.code() == Code::tooManyEntries ||
                     e.code() == Code::unsupportedArchiveEntry);
        error = static_cast<int>(e.code());
    } catch (const std::exception& e) {
        FUZZ_UNEXPECTED(e);  // an in-memory file cannot fail to be read
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const UniqueFd file = fuzz::memoryFile(fuzz::bytesOf(data, size));
    const off_t mark = static_cast<off_t>(size / 2);
    FUZZ_REQUIRE(::lseek(file.get(), mark, SEEK_SET) == mark);
    int walkedError = -1, countedError = -1;
    const auto walked = inspect(file.get(), size, true, walkedError);
    FUZZ_REQUIRE(walked == inspect(file.get(), size, false, countedError) &&
                 walkedError == countedError);
    FUZZ_REQUIRE(::lseek(file.get(), 0, SEEK_CUR) == mark);
    return 0;
}
