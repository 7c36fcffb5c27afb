// A whole unpack of arbitrary bytes into a fresh folder, on a volume of fixed policy so nothing
// depends on the machine. Stored entries first get the CRC-32 of their bytes, so mutated content
// (above all a path-mapping manifest) reaches the code that reads it.

#include <zlib.h>

#include <cstdlib>
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

// Every record that looks like a central one, leniently, whatever the end record says.
std::string withRepairedChecksums(std::string zip) {
    const auto at = [&](std::size_t offset) {
        return reinterpret_cast<unsigned char*>(zip.data()) + offset;
    };
    const auto in = [&](std::size_t offset, std::uint64_t length) {
        return offset <= zip.size() && zip.size() - offset >= length;
    };
    for (std::size_t record = zip.find("PK\1\2"); in(record, centralHeaderSize);
         record = zip.find("PK\1\2", record + 4)) {
        const std::size_t local = get32(at(record + CentralHeader::localHeaderOffset));
        const std::uint64_t length = get32(at(record + CentralHeader::compressedSize));
        const std::size_t data = !in(local, localHeaderSize)
                                     ? zip.size() + 1
                                     : local + localHeaderSize +
                                           get16(at(local + LocalHeader::nameLength)) +
                                           get16(at(local + LocalHeader::extraLength));
        if (get16(at(record + CentralHeader::method)) == methodStored && in(data, length)) {
            std::string crc;
            put32(crc, ::crc32(0, at(data), static_cast<uInt>(length)));
            zip.replace(record + CentralHeader::crc32, 4, crc);
            zip.replace(local + LocalHeader::crc32, 4, crc);
        }
    }
    return zip;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path work =
        fs::temp_directory_path() / ("unpack-" + std::to_string(::getpid()));
    // Stage records go to a data folder of the fuzzer's own, never the user's.
    static const bool privateData =
        ::setenv("XDG_DATA_HOME", (work.string() + "-data").c_str(), 1) == 0;
    (void)privateData;
    const fs::path destination = work / "destination";
    const std::string archive = work / "archive.zip";
    fs::create_directories(destination);
    std::ofstream(archive, std::ios::binary | std::ios::trunc)
        << withRepairedChecksums(std::string(fuzz::bytesOf(data, size)));
    std::optional<UnpackReceipt> receipt;
    try {
        receipt = ArchivePipeline::unpack(archive, destination, nullptr, {}, [](auto&) {
            return ArchiveDestinationPolicy("ext4", std::nullopt, 48 << 20, false);
        });
    } catch (const ArchivePipelineError& error) {
        FUZZ_REQUIRE(error.code() != ArchivePipelineError::Code::cancelled);
    } catch (const std::system_error&) {
    }
    FUZZ_REQUIRE(std::distance(fs::directory_iterator(work), {}) == 2);
    FUZZ_REQUIRE(!receipt || (receipt->verified && receipt->outputURL == destination / "archive"));
    std::uint64_t files = 0, bytes = 0;
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
