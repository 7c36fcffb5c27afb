// Arbitrary bytes as a file: the same verdict with and without a per-entry callback, fields as
// the fixed record states them, equal raw legacy names read as equal text, a directory inside the
// file, only archive errors, the file offset untouched. An accepted archive's entries (local header
// to the end of the data) lie apart and before the directory, which ends where the ZIP64 end
// record or the end record begins.
#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/archive/ArchiveLimits.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ZipCentralDirectoryInspector.h"
#include "core/archive/ZipFormat.h"
#include "fuzz/FuzzSupport.h"

using namespace tolvane;

namespace {

// Where each entry's local header begins and its data ends, read from the bytes themselves.
using Spans = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

void requireLayout(std::string_view bytes, const ZipCentralDirectory& directory, Spans spans) {
    namespace Local = ZipFormat::LocalHeader;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::uint64_t end = directory.offset + directory.size;
    FUZZ_REQUIRE(bytes.size() - end >= 4);
    const std::uint32_t next = ZipFormat::get32(data + end);
    FUZZ_REQUIRE(next == ZipFormat::zip64EndOfCentralDirectorySignature ||
                 next == ZipFormat::endOfCentralDirectorySignature);
    for (auto& [start, dataEnd] : spans) {
        FUZZ_REQUIRE(start <= directory.offset &&
                     directory.offset - start >= ZipFormat::localHeaderSize);
        FUZZ_REQUIRE(ZipFormat::get32(data + start) == ZipFormat::localHeaderSignature);
        const std::uint64_t dataStart = start + ZipFormat::localHeaderSize +
                                        ZipFormat::get16(data + start + Local::nameLength) +
                                        ZipFormat::get16(data + start + Local::extraLength);
        // dataEnd holds the compressed size so far.
        FUZZ_REQUIRE(dataStart <= directory.offset && dataEnd <= directory.offset - dataStart);
        dataEnd += dataStart;
    }
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i) {
        FUZZ_REQUIRE(spans[i - 1].second <= spans[i].first);
    }
}

std::optional<ZipCentralDirectory> inspect(int fd, std::string_view bytes, bool withCallback,
                                           int& error) {
    namespace Central = ZipFormat::CentralHeader;
    const std::uint64_t fileSize = bytes.size();
    std::uint64_t checks = 0, entries = 0;
    std::map<std::string, std::string, std::less<>> legacyNames;
    std::optional<std::uint64_t> firstPass;
    Spans spans;
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
            spans.emplace_back(e.localHeaderOffset, e.compressedSize);
        };
    }
    try {
        const ZipCentralDirectory directory = ZipCentralDirectoryInspector::inspect(
            fd, [&] { ++checks; }, onEntry);
        const std::uint64_t count = directory.entryCount;
        // One pass weighs the names' encoding, the other walks the records; blocks of bytes no
        // record accounts for are checked after them.
        FUZZ_REQUIRE(count <= ArchivePipeline::maxEntryCount && checks >= 2 * count);
        FUZZ_REQUIRE(!withCallback || (entries == count && (count == 0 || *firstPass == count)));
        FUZZ_REQUIRE(directory.offset <= fileSize && directory.size <= fileSize - directory.offset);
        FUZZ_REQUIRE(directory.size >= count * ZipFormat::centralHeaderSize);
        if (withCallback) {
            requireLayout(bytes, directory, spans);
        }
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
    const std::string_view bytes = fuzz::bytesOf(data, size);
    const auto walked = inspect(file.get(), bytes, true, walkedError);
    FUZZ_REQUIRE(walked == inspect(file.get(), bytes, false, countedError) &&
                 walkedError == countedError);
    FUZZ_REQUIRE(::lseek(file.get(), 0, SEEK_CUR) == mark);
    return 0;
}
