// Feeds arbitrary bytes, written to a file, to a whole unpack into a fresh folder whose volume
// has a fixed policy with modest free space, so nothing depends on the machine. Every stored
// entry first gets the CRC-32 of its bytes, so mutated content (above all a path-mapping
// manifest) reaches the code that reads it.
//
// The unpack succeeds or fails with ArchivePipelineError (never "cancelled") or
// std::system_error. Nothing appears beside the destination; a failure leaves it empty, and a
// success leaves exactly the reported folder, holding only directories and regular files that
// add up to the receipt's counts (the mapping receipt aside).

#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveUnpack.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/ZipFormat.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace tolvane;
using namespace tolvane::ZipFormat;
namespace fs = std::filesystem;

// Walks the directory the last end record names, leniently, and gives each stored entry whose
// data lie inside the input the CRC-32 of those data, centrally and locally.
std::string withRepairedChecksums(std::string zip) {
    namespace End = EndOfCentralDirectory;
    namespace Central = CentralHeader;
    namespace Local = LocalHeader;
    const auto at = [&](std::size_t offset) {
        return reinterpret_cast<unsigned char*>(zip.data()) + offset;
    };
    const auto in = [&](std::size_t offset, std::uint64_t length) {
        return offset <= zip.size() && zip.size() - offset >= length;
    };
    std::size_t end = zip.size() - std::min(zip.size(), endOfCentralDirectorySize);
    while (end > 0 && zip.size() - end <= endOfCentralDirectorySize + 65535 &&
           get32(at(end)) != endOfCentralDirectorySignature) {
        --end;
    }
    if (!in(end, endOfCentralDirectorySize) || get32(at(end)) != endOfCentralDirectorySignature) {
        return zip;
    }
    std::size_t record = get32(at(end + End::directoryOffset));
    for (std::size_t n = get16(at(end + End::totalEntries));
         n > 0 && in(record, centralHeaderSize) && get32(at(record)) == centralHeaderSignature;
         --n) {
        const std::size_t local = get32(at(record + Central::localHeaderOffset));
        const std::uint64_t length = get32(at(record + Central::compressedSize));
        if (get16(at(record + Central::method)) == methodStored && in(local, localHeaderSize)) {
            const std::size_t data = local + localHeaderSize +
                                     get16(at(local + Local::nameLength)) +
                                     get16(at(local + Local::extraLength));
            const auto crc = in(data, length) ? ::crc32(0, at(data), static_cast<uInt>(length)) : 0;
            for (std::size_t i = 0; i < 4 && in(data, length); ++i) {
                *at(record + Central::crc32 + i) = *at(local + Local::crc32 + i) =
                    static_cast<unsigned char>(crc >> (8 * i));
            }
        }
        record += centralHeaderSize + get16(at(record + Central::nameLength)) +
                  get16(at(record + Central::extraLength)) +
                  get16(at(record + Central::commentLength));
    }
    return zip;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path work =
        fs::temp_directory_path() / ("unpack-" + std::to_string(::getpid()));
    const fs::path destination = work / "destination";
    const std::string archive = work / "archive.zip";
    fs::create_directories(destination);
    std::ofstream(archive, std::ios::binary | std::ios::trunc)
        << withRepairedChecksums(std::string(fuzz::bytesOf(data, size)));
    const ArchivePipeline::DestinationPolicyReader policy = [](const std::string&) {
        return ArchiveDestinationPolicy("ext4", std::nullopt, 48 << 20, false);
    };
    std::optional<UnpackReceipt> receipt;
    try {
        receipt = ArchivePipeline::unpack(archive, destination, nullptr, {}, policy);
    } catch (const ArchivePipelineError& error) {
        FUZZ_REQUIRE(error.code() != ArchivePipelineError::Code::cancelled);
    } catch (const std::system_error&) {
    } catch (const std::exception& error) {
        FUZZ_UNEXPECTED(error);
    }
    FUZZ_REQUIRE(std::distance(fs::directory_iterator(work), {}) == 2);
    FUZZ_REQUIRE(!receipt || (receipt->verified && receipt->outputURL == destination / "archive"));
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    // Every folder is opened up before the walk enters it, whatever mode the unpack restored.
    for (auto it = fs::recursive_directory_iterator(destination); it != fs::end(it); ++it) {
        FUZZ_REQUIRE(receipt && (it.depth() > 0 || it->path() == receipt->outputURL));
        const fs::file_status status = it->symlink_status();
        if (fs::is_directory(status)) {
            fs::permissions(it->path(), fs::perms::owner_all);
        } else if (it->path().filename() != ArchivePipeline::reservedMappingName ||
                   it.depth() > 1) {
            FUZZ_REQUIRE(fs::is_regular_file(status));
            ++files;
            bytes += fs::file_size(it->path());
        }
    }
    FUZZ_REQUIRE(!receipt || (files == receipt->fileCount && bytes == receipt->totalBytes));
    fs::remove_all(destination);
    return 0;
}
