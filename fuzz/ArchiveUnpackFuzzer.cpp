// Feeds arbitrary bytes, written to a file, to a whole unpack into a fresh destination folder
// whose volume is described by a fixed policy with modest free space, so nothing depends on the
// machine. Every stored entry first gets the CRC-32 of the bytes it holds, so mutated content
// (above all a path-mapping manifest) reaches the code that reads it.
//
// The unpack succeeds or fails with ArchivePipelineError (never "cancelled") or
// std::system_error. Nothing appears beside the destination; a failure leaves it empty, and a
// success leaves exactly the reported folder, holding only directories and regular files that
// add up to the receipt's counts (the receipt of a manifest aside).

#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveUnpack.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/ZipFormat.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace tolvane;
namespace fs = std::filesystem;

// Walks the directory the last end record names, as leniently as it can, and gives each stored
// entry whose data lie inside the input the CRC-32 of those data, centrally and locally.
std::string withRepairedChecksums(std::string bytes) {
    using namespace ZipFormat;
    const auto at = [&](std::size_t offset) {
        return reinterpret_cast<unsigned char*>(bytes.data()) + offset;
    };
    const std::size_t size = bytes.size();
    std::size_t end = size - std::min(size, endOfCentralDirectorySize);
    while (size >= endOfCentralDirectorySize && get32(at(end)) != endOfCentralDirectorySignature) {
        if (end == 0 || size - end > endOfCentralDirectorySize + 65535) {
            return bytes;
        }
        --end;
    }
    std::size_t record = size < endOfCentralDirectorySize ? size : get32(at(end + 16));
    for (std::size_t n = get16(at(end + 10));
         n > 0 && record <= size && size - record >= centralHeaderSize &&
         get32(at(record)) == centralHeaderSignature;
         --n) {
        const std::uint64_t compressed = get32(at(record + CentralHeader::compressedSize));
        const std::size_t local = get32(at(record + CentralHeader::localHeaderOffset));
        if (get16(at(record + CentralHeader::method)) == methodStored && local <= size &&
            size - local >= localHeaderSize) {
            const std::size_t data = local + localHeaderSize +
                                     get16(at(local + LocalHeader::nameLength)) +
                                     get16(at(local + LocalHeader::extraLength));
            if (data <= size && size - data >= compressed) {
                const auto crc = ::crc32(0, at(data), static_cast<uInt>(compressed));
                for (unsigned char* field :
                     {at(record + CentralHeader::crc32), at(local + LocalHeader::crc32)}) {
                    for (int i = 0; i < 4; ++i) {
                        field[i] = static_cast<unsigned char>(crc >> (8 * i));
                    }
                }
            }
        }
        record += centralHeaderSize + get16(at(record + CentralHeader::nameLength)) +
                  get16(at(record + CentralHeader::extraLength)) +
                  get16(at(record + CentralHeader::commentLength));
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path work =
        fs::temp_directory_path() / ("tolvane-fuzz-" + std::to_string(::getpid()));
    const fs::path destination = work / "destination";
    fs::create_directories(destination);
    const std::string archive = work / "archive.zip";
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
    std::uint64_t items = 0;
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    // Every folder is opened up before the walk enters it, whatever mode the unpack restored.
    for (auto it = fs::recursive_directory_iterator(destination); it != fs::end(it); ++it) {
        ++items;
        FUZZ_REQUIRE(it.depth() > 0 || (receipt && it->path() == receipt->outputURL));
        const fs::file_status status = it->symlink_status();
        if (fs::is_directory(status)) {
            fs::permissions(it->path(), fs::perms::owner_all);
        } else if (fs::is_regular_file(status) &&
                   it->path().filename() != ArchivePipeline::reservedMappingName) {
            ++files;
            bytes += fs::file_size(it->path());
        } else {
            FUZZ_REQUIRE(fs::is_regular_file(status) && it.depth() == 1);
        }
    }
    if (receipt) {
        FUZZ_REQUIRE(receipt->verified && receipt->outputURL == destination / "archive");
        FUZZ_REQUIRE(files == receipt->fileCount && bytes == receipt->totalBytes);
    }
    FUZZ_REQUIRE(receipt || items == 0);
    fs::remove_all(destination);
    return 0;
}
