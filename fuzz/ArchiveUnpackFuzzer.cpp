// Feeds arbitrary bytes, written to a file, to a whole unpack into a fresh destination folder.
// The destination's volume is described by a fixed policy with a modest amount of free space, so
// nothing depends on the machine and no input can make an iteration write much.
//
// Every stored entry the input describes first gets the CRC-32 of the bytes it holds, so mutated
// entry content (above all a path-mapping manifest) gets past the CRC check to the code that
// reads it; deflated entries keep the CRC-32 checks themselves in reach.
//
// The unpack must succeed or fail with ArchivePipelineError (never "cancelled": nothing asks it
// to stop) or std::system_error. Either way the destination holds no stage, lock or journal
// afterwards and nothing appears beside it; a failure leaves the destination empty, and a success
// leaves exactly the reported folder, holding only directories and regular files that add up to
// the receipt's counts.

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include <zlib.h>

#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveUnpack.h"
#include "core/archive/ArchiveValues.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/StagingLease.h"
#include "core/archive/ZipFormat.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace tolvane;

constexpr std::uint64_t availableBytes = 48 * 1024 * 1024;

void put32At(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

// Walks the central directory the last end record names, as leniently as it can, and gives each
// stored entry whose data lie inside the input the CRC-32 of those data, in its central record
// and its local header.
std::string withRepairedChecksums(std::string bytes) {
    using namespace ZipFormat;
    const auto at = [&](std::size_t offset) {
        return reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
    };
    const std::size_t size = bytes.size();
    if (size < endOfCentralDirectorySize) {
        return bytes;
    }
    std::size_t end = size - endOfCentralDirectorySize;
    while (get32(at(end)) != endOfCentralDirectorySignature) {
        if (end == 0 || size - end > endOfCentralDirectorySize + 65535) {
            return bytes;
        }
        --end;
    }
    std::size_t record = get32(at(end + 16));
    for (std::size_t n = get16(at(end + 10)); n > 0; --n) {
        if (record > size || size - record < centralHeaderSize ||
            get32(at(record)) != centralHeaderSignature) {
            break;
        }
        const std::uint64_t compressed = get32(at(record + 20));
        const std::size_t local = get32(at(record + 42));
        if (get16(at(record + 10)) == methodStored && local <= size &&
            size - local >= localHeaderSize && get32(at(local)) == localHeaderSignature) {
            const std::size_t data =
                local + localHeaderSize + get16(at(local + 26)) + get16(at(local + 28));
            if (data <= size && size - data >= compressed) {
                const auto crc =
                    static_cast<std::uint32_t>(::crc32(0, at(data), static_cast<uInt>(compressed)));
                put32At(bytes, record + 16, crc);
                put32At(bytes, local + 14, crc);
            }
        }
        record += centralHeaderSize + get16(at(record + 28)) + get16(at(record + 30)) +
                  get16(at(record + 32));
    }
    return bytes;
}

void requireNoStages(const std::string& directory) {
    for (const std::string& name : fuzz::listNames(directory)) {
        if (name.starts_with(ArchivePipeline::stageNamePrefix)) {
            fuzz::fail(__FILE__, __LINE__, "left behind in the destination: " + name);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& work = fuzz::processDirectory();
    const std::string archive = work + "/archive.zip";
    const std::string destination = work + "/destination";
    fuzz::writeFile(archive, withRepairedChecksums(std::string(fuzz::bytesOf(data, size))));
    FUZZ_REQUIRE(::mkdir(destination.c_str(), 0700) == 0);

    const ArchivePipeline::DestinationPolicyReader policy = [](const std::string&) {
        return ArchiveDestinationPolicy("ext4", std::nullopt, availableBytes, false);
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

    const auto beside = fuzz::listNames(work);
    FUZZ_REQUIRE(beside.size() == 2);
    requireNoStages(destination);
    if (receipt) {
        FUZZ_REQUIRE(receipt->verified);
        FUZZ_REQUIRE(receipt->outputURL == destination + "/archive");
        FUZZ_REQUIRE(fuzz::listNames(destination).size() == 1);
        // The receipt of a path-mapping manifest is the one file the archive did not hold.
        const std::string receiptFile =
            receipt->outputURL + "/" + std::string(ArchivePipeline::reservedMappingName);
        std::uint64_t receiptBytes = 0;
        std::uint64_t receiptFiles = 0;
        struct stat status {};
        if (::lstat(receiptFile.c_str(), &status) == 0) {
            FUZZ_REQUIRE(S_ISREG(status.st_mode));
            receiptBytes = static_cast<std::uint64_t>(status.st_size);
            receiptFiles = 1;
        }
        const fuzz::TreeCensus census = fuzz::emptyDirectory(destination);
        FUZZ_REQUIRE(census.symbolicLinks == 0 && census.others == 0);
        FUZZ_REQUIRE(census.regularFiles == receipt->fileCount + receiptFiles);
        FUZZ_REQUIRE(census.regularBytes == receipt->totalBytes + receiptBytes);
    } else {
        FUZZ_REQUIRE(fuzz::listNames(destination).empty());
    }

    FUZZ_REQUIRE(::rmdir(destination.c_str()) == 0);
    FUZZ_REQUIRE(::unlink(archive.c_str()) == 0);
    return 0;
}
