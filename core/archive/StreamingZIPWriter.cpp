#include "core/archive/StreamingZIPWriter.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <future>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/MaximumZIPDeflater.h"
#include "core/archive/ZipFormat.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/common/Posix.h"
#include "core/common/ScopeExit.h"
#include "core/common/ThreadPool.h"
#include "core/common/Unicode.h"

namespace tolvane {

namespace DeliveryZIPLayout {

namespace {

constexpr std::uint64_t marker32 = ZipFormat::zip64Marker32;

void putLength(std::string& out, std::size_t length, const char* what) {
    if (length > maximumFieldLength) {
        throw std::length_error(what);
    }
    ZipFormat::put16(out, static_cast<std::uint16_t>(length));
}

// A 4-byte size or offset field: the value itself, or the marker that sends readers to the
// ZIP64 block. 0xFFFFFFFF itself takes the marker, or it would read as one.
std::uint32_t field32(std::uint64_t value) {
    return value >= marker32 ? ZipFormat::zip64Marker32 : static_cast<std::uint32_t>(value);
}

bool hasZip64CentralBlock(const CentralEntry& entry) {
    if (entry.localHeaderOffset >= marker32) {
        return true;
    }
    return !entry.isDirectory &&
           (entry.uncompressedSize >= marker32 || entry.compressedSize >= marker32);
}

std::uint32_t externalAttributes(bool isDirectory, std::uint16_t permissions) {
    const std::uint32_t type = isDirectory ? 0x4000 : 0x8000;  // S_IFDIR, S_IFREG
    return (type | permissions) << 16;
}

}  // namespace

DosDateTime dosDateTime(std::int64_t secondsSince1970) noexcept {
    static_assert(sizeof(std::time_t) == sizeof(std::int64_t));
    const auto time = static_cast<std::time_t>(secondsSince1970);
    std::tm fields{};
    if (gmtime_r(&time, &fields) == nullptr) {
        return {0, 0x0021};
    }
    const long long year =
        std::clamp(static_cast<long long>(fields.tm_year) + 1900, 1980LL, 2099LL);
    const int month = std::max(fields.tm_mon + 1, 1);
    const int day = std::max(fields.tm_mday, 1);
    return {
        static_cast<std::uint16_t>(fields.tm_hour << 11 | fields.tm_min << 5 | fields.tm_sec / 2),
        static_cast<std::uint16_t>((year - 1980) << 9 | month << 5 | day)};
}

bool fileUsesZip64(std::uint64_t uncompressedSize, std::uint64_t dataBound) noexcept {
    return uncompressedSize >= zip64SizeThreshold || dataBound >= zip64SizeThreshold;
}

std::string fileLocalExtraField(bool zip64, std::uint64_t uncompressedSize,
                                std::string_view extendedAttributes) {
    std::string out;
    if (zip64) {
        ZipFormat::put16(out, ZipFormat::zip64ExtraID);
        ZipFormat::put16(out, 16);
        ZipFormat::put64(out, uncompressedSize);
        ZipFormat::put64(out, 0);  // the compressed size is not known yet
    }
    out.append(extendedAttributes);
    return out;
}

std::string fileLocalHeader(std::string_view name, DosDateTime modified, std::uint16_t method,
                            bool zip64, std::string_view extraField) {
    std::string out;
    out.reserve(ZipFormat::localHeaderSize + name.size() + extraField.size());
    ZipFormat::put32(out, ZipFormat::localHeaderSignature);
    ZipFormat::put16(out, zip64 ? versionZip64 : versionDefault);
    ZipFormat::put16(out, fileFlags);
    ZipFormat::put16(out, method);
    ZipFormat::put16(out, modified.time);
    ZipFormat::put16(out, modified.date);
    ZipFormat::put32(out, 0);
    ZipFormat::put32(out, zip64 ? ZipFormat::zip64Marker32 : 0);
    ZipFormat::put32(out, zip64 ? ZipFormat::zip64Marker32 : 0);
    putLength(out, name.size(), "ZIP entry name too long");
    putLength(out, extraField.size(), "ZIP extra field too long");
    out.append(name);
    out.append(extraField);
    return out;
}

std::string directoryLocalHeader(std::string_view name, DosDateTime modified,
                                 std::string_view extraField) {
    std::string out;
    out.reserve(ZipFormat::localHeaderSize + name.size() + extraField.size());
    ZipFormat::put32(out, ZipFormat::localHeaderSignature);
    ZipFormat::put16(out, versionDefault);
    ZipFormat::put16(out, directoryFlags);
    ZipFormat::put16(out, ZipFormat::methodStored);
    ZipFormat::put16(out, modified.time);
    ZipFormat::put16(out, modified.date);
    ZipFormat::put32(out, 0);
    ZipFormat::put32(out, 0);
    ZipFormat::put32(out, 0);
    putLength(out, name.size(), "ZIP entry name too long");
    putLength(out, extraField.size(), "ZIP extra field too long");
    out.append(name);
    out.append(extraField);
    return out;
}

std::string dataDescriptor(std::uint32_t crc32, std::uint64_t compressedSize,
                           std::uint64_t uncompressedSize, bool zip64) {
    std::string out;
    ZipFormat::put32(out, ZipFormat::dataDescriptorSignature);
    ZipFormat::put32(out, crc32);
    if (zip64) {
        ZipFormat::put64(out, compressedSize);
        ZipFormat::put64(out, uncompressedSize);
    } else {
        if (compressedSize >= zip64SizeThreshold || uncompressedSize >= zip64SizeThreshold) {
            throw std::length_error("data descriptor sizes need the ZIP64 form");
        }
        ZipFormat::put32(out, static_cast<std::uint32_t>(compressedSize));
        ZipFormat::put32(out, static_cast<std::uint32_t>(uncompressedSize));
    }
    return out;
}

std::string centralExtraField(const CentralEntry& entry, std::string_view extendedAttributes) {
    std::string values;
    if (!entry.isDirectory) {
        if (entry.uncompressedSize >= marker32) {
            ZipFormat::put64(values, entry.uncompressedSize);
        }
        if (entry.compressedSize >= marker32) {
            ZipFormat::put64(values, entry.compressedSize);
        }
    }
    if (entry.localHeaderOffset >= marker32) {
        ZipFormat::put64(values, entry.localHeaderOffset);
    }
    std::string out;
    if (!values.empty()) {
        ZipFormat::put16(out, ZipFormat::zip64ExtraID);
        ZipFormat::put16(out, static_cast<std::uint16_t>(values.size()));
        out.append(values);
    }
    out.append(extendedAttributes);
    return out;
}

std::string centralRecord(const CentralEntry& entry, std::string_view name,
                          std::string_view extraField) {
    const bool zip64 = hasZip64CentralBlock(entry) || (!entry.isDirectory && entry.zip64Local);
    const std::uint16_t version = zip64 ? versionZip64 : versionDefault;
    std::string out;
    out.reserve(ZipFormat::centralHeaderSize + name.size() + extraField.size());
    ZipFormat::put32(out, ZipFormat::centralHeaderSignature);
    ZipFormat::put16(out, hostUnix | version);
    ZipFormat::put16(out, version);
    ZipFormat::put16(out, entry.isDirectory ? directoryFlags : fileFlags);
    ZipFormat::put16(out, entry.isDirectory ? ZipFormat::methodStored : entry.method);
    ZipFormat::put16(out, entry.modified.time);
    ZipFormat::put16(out, entry.modified.date);
    ZipFormat::put32(out, entry.isDirectory ? 0 : entry.crc32);
    ZipFormat::put32(out, entry.isDirectory ? 0 : field32(entry.compressedSize));
    ZipFormat::put32(out, entry.isDirectory ? 0 : field32(entry.uncompressedSize));
    putLength(out, name.size(), "ZIP entry name too long");
    putLength(out, extraField.size(), "ZIP extra field too long");
    ZipFormat::put16(out, 0);  // comment length
    ZipFormat::put16(out, 0);  // disk number start
    ZipFormat::put16(out, 0);  // internal attributes
    ZipFormat::put32(out, externalAttributes(entry.isDirectory, entry.permissions));
    ZipFormat::put32(out, field32(entry.localHeaderOffset));
    out.append(name);
    out.append(extraField);
    return out;
}

bool needsZip64EndRecords(std::uint64_t entryCount, std::uint64_t centralDirectorySize,
                          std::uint64_t centralDirectoryOffset) noexcept {
    return entryCount >= ZipFormat::zip64Marker16 || centralDirectorySize >= marker32 ||
           centralDirectoryOffset >= marker32;
}

std::string zip64EndRecord(std::uint64_t entryCount, std::uint64_t centralDirectorySize,
                           std::uint64_t centralDirectoryOffset) {
    std::string out;
    out.reserve(ZipFormat::zip64EndOfCentralDirectorySize);
    ZipFormat::put32(out, ZipFormat::zip64EndOfCentralDirectorySignature);
    ZipFormat::put64(out, ZipFormat::zip64EndOfCentralDirectorySize - 12);
    ZipFormat::put16(out, versionZip64);  // made by: no host byte
    ZipFormat::put16(out, versionZip64);
    ZipFormat::put32(out, 0);  // this disk
    ZipFormat::put32(out, 0);  // disk of the central directory
    ZipFormat::put64(out, entryCount);
    ZipFormat::put64(out, entryCount);
    ZipFormat::put64(out, centralDirectorySize);
    ZipFormat::put64(out, centralDirectoryOffset);
    return out;
}

std::string zip64EndLocator(std::uint64_t zip64EndRecordOffset) {
    std::string out;
    out.reserve(ZipFormat::zip64EndLocatorSize);
    ZipFormat::put32(out, ZipFormat::zip64EndLocatorSignature);
    ZipFormat::put32(out, 0);
    ZipFormat::put64(out, zip64EndRecordOffset);
    ZipFormat::put32(out, 1);
    return out;
}

std::string endRecord(std::uint64_t entryCount, std::uint64_t centralDirectorySize,
                      std::uint64_t centralDirectoryOffset, bool zip64Form) {
    if (!zip64Form &&
        needsZip64EndRecords(entryCount, centralDirectorySize, centralDirectoryOffset)) {
        throw std::length_error("end record values need the ZIP64 form");
    }
    std::string out;
    out.reserve(ZipFormat::endOfCentralDirectorySize);
    ZipFormat::put32(out, ZipFormat::endOfCentralDirectorySignature);
    ZipFormat::put16(out, 0);
    ZipFormat::put16(out, 0);
    if (zip64Form) {
        ZipFormat::put16(out, ZipFormat::zip64Marker16);
        ZipFormat::put16(out, ZipFormat::zip64Marker16);
        ZipFormat::put32(out, ZipFormat::zip64Marker32);
        ZipFormat::put32(out, ZipFormat::zip64Marker32);
    } else {
        ZipFormat::put16(out, static_cast<std::uint16_t>(entryCount));
        ZipFormat::put16(out, static_cast<std::uint16_t>(entryCount));
        ZipFormat::put32(out, static_cast<std::uint32_t>(centralDirectorySize));
        ZipFormat::put32(out, static_cast<std::uint32_t>(centralDirectoryOffset));
    }
    ZipFormat::put16(out, 0);  // no archive comment
    return out;
}

}  // namespace DeliveryZIPLayout

namespace {

namespace Layout = DeliveryZIPLayout;

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string fileMetadataTooLarge(const std::string& path) {
    return "file metadata exceeds the ZIP extra-field limit: " + path;
}

std::string directoryMetadataTooLarge(const std::string& path) {
    return "directory metadata exceeds the ZIP extra-field limit: " + path;
}

}  // namespace

// One cut of a source on its way through a worker: the bytes read, then what goes into the
// archive (the compressed bytes, or the same bytes when stored) and their CRC-32.
struct StreamingZIPWriter::Part {
    std::vector<std::uint8_t> input;
    std::vector<std::uint8_t> output;
    std::uint64_t sourceBytes = 0;
    std::uint32_t crc32 = 0;
    std::promise<void> finished;
    std::future<void> done = finished.get_future();
    // Whether a worker was given the part yet; only the caller's thread reads or sets it.
    bool submitted = false;
    bool deflated = false;
    bool last = false;
};

// What is written next, in order: an entry's header, one of its parts, or its end.
struct StreamingZIPWriter::Piece {
    enum class Kind { begin, data, finish } kind;
    OpenEntry entry;  // begin
    std::string header;
    std::shared_ptr<Part> part;  // data
};

struct StreamingZIPWriter::Parallel {
    Parallel(ArchiveCompressionMode mode, std::size_t threads)
        : mode(mode), deflaters(threads), pool(threads) {}

    // Runs on a worker; only that worker touches its compressor.
    void compress(std::size_t worker, Part& part, bool deflated, bool last) {
        try {
            if (deflated) {
                if (!deflaters[worker]) {
                    deflaters[worker] = std::make_unique<ZipDeflateStream>(mode);
                }
                part.crc32 = deflaters[worker]->compressPart(part.input, last, part.output);
                std::vector<std::uint8_t>().swap(part.input);
            } else {
                part.crc32 =
                    static_cast<std::uint32_t>(crc32_z(0, part.input.data(), part.input.size()));
                part.output.swap(part.input);
            }
            part.finished.set_value();
        } catch (...) {
            part.finished.set_exception(std::current_exception());
        }
    }

    // Small parts go to the workers a batch at a time: a task per part of a few hundred bytes
    // would cost more in wake-ups than in compressing. A part is submitted at the latest when it
    // is the next one to write.
    void enqueue(std::shared_ptr<Part> part) {
        batchBytes += part->input.size();
        batch.push_back(std::move(part));
        if (batchBytes >= batchByteTarget || batch.size() >= batchPartLimit) {
            submitBatch();
        }
    }
    void submitBatch() {
        if (batch.empty()) {
            return;
        }
        for (const std::shared_ptr<Part>& part : batch) {
            part->submitted = true;
        }
        pool.submit([this, parts = std::move(batch)](std::size_t worker) {
            for (const std::shared_ptr<Part>& part : parts) {
                compress(worker, *part, part->deflated, part->last);
            }
        });
        batch.clear();
        batchBytes = 0;
    }

    static constexpr std::uint64_t batchByteTarget = 64 * 1024;
    static constexpr std::size_t batchPartLimit = 64;

    ArchiveCompressionMode mode;
    std::deque<Piece> pieces;
    std::size_t partsInFlight = 0;
    std::uint64_t bytesInFlight = 0;
    std::vector<std::shared_ptr<Part>> batch;
    std::uint64_t batchBytes = 0;
    // Declared before the pool, which joins its threads before these go.
    std::vector<std::unique_ptr<ZipDeflateStream>> deflaters;
    ThreadPool pool;
};

std::optional<std::uint64_t> StreamingZIPWriter::archiveByteBudget(
    std::optional<std::uint64_t> volumeAvailableBytes) noexcept {
    if (!volumeAvailableBytes) {
        return std::nullopt;
    }
    return *volumeAvailableBytes > freeSpaceReserve ? *volumeAvailableBytes - freeSpaceReserve : 0;
}

std::optional<std::uint64_t> StreamingZIPWriter::volumeFreeBytes(int fd) {
    struct statvfs info {};
    while (::fstatvfs(fd, &info) != 0) {
        if (errno != EINTR) {
            posix::throwLastError();
        }
    }
    return ArchiveDestinationPolicy::availableBytesFromBlocks(info.f_bavail, info.f_frsize);
}

StreamingZIPWriter::StreamingZIPWriter(UniqueFd archive, UniqueFd centralDirectory,
                                       std::string centralDirectoryPath,
                                       ArchiveCompressionMode compressionMode,
                                       std::optional<std::uint64_t> maximumFileBytes,
                                       std::optional<std::uint64_t> availableArchiveBytes,
                                       FreeSpaceProbe freeSpace, std::size_t threads)
    : archive_(std::move(archive)),
      centralDirectory_(std::move(centralDirectory)),
      centralDirectoryPath_(std::move(centralDirectoryPath)),
      compressionMode_(compressionMode),
      maximumFileBytes_(maximumFileBytes),
      availableArchiveBytes_(availableArchiveBytes),
      freeSpace_(freeSpace ? std::move(freeSpace) : FreeSpaceProbe(&volumeFreeBytes)) {
    if (!archive_ || !centralDirectory_ || centralDirectoryPath_.empty()) {
        throw std::invalid_argument("a ZIP writer needs an archive, a spool and the spool's path");
    }
    if (threads > 1) {
        // Each worker keeps a compressor and a part's output: beyond this many, memory grows
        // with the machine while the caller's thread is already the one waited for.
        constexpr std::size_t maximumThreads = 32;
        parallel_ = std::make_unique<Parallel>(compressionMode_, std::min(threads, maximumThreads));
    }
}

StreamingZIPWriter::~StreamingZIPWriter() = default;

void StreamingZIPWriter::requireOpen() const {
    // A failed call may have left a partial entry or a partial central directory behind; writing
    // on would put entries after bytes nothing describes, with the size guards counting from a
    // total that no longer matches the file.
    if (finalized_ || failed_ || !archive_ || !centralDirectory_) {
        throw std::logic_error("the ZIP writer is finalized or has failed");
    }
}

std::string StreamingZIPWriter::encodedName(const std::string& path) const {
    if (path.empty() || path.size() > Layout::maximumFieldLength) {
        throw ArchivePipelineError::finalizationFailed("ZIP entry path is too long");
    }
    // Every entry declares a UTF-8 name; bytes that are not UTF-8 would be read back as
    // something else.
    if (!Unicode::isValidUTF8(path)) {
        throw ArchivePipelineError::unsafePath(path);
    }
    return path;
}

std::uint64_t StreamingZIPWriter::archiveEndPosition() {
    if (!archivePosition_) {
        const off_t end = ::lseek(archive_.get(), 0, SEEK_END);
        if (end < 0) {
            posix::throwLastError();
        }
        archivePosition_ = static_cast<std::uint64_t>(end);
    }
    return *archivePosition_ + pendingArchive_.size();
}

void StreamingZIPWriter::writeArchive(std::string_view bytes) {
    writeArchive(asBytes(bytes));
}

void StreamingZIPWriter::writeArchive(std::span<const std::uint8_t> bytes) {
    std::uint64_t newTotal = 0;
    if (__builtin_add_overflow(archiveBytes_, bytes.size(), &newTotal)) {
        throw ArchivePipelineError::insufficientSpace();
    }
    if (maximumFileBytes_ && *maximumFileBytes_ < newTotal) {
        throw ArchivePipelineError::destinationFileTooLarge(*maximumFileBytes_);
    }
    if (availableArchiveBytes_ && *availableArchiveBytes_ < newTotal) {
        throw ArchivePipelineError::insufficientSpace();
    }
    if (newTotal >= nextSpaceCheck_) {
        const std::optional<std::uint64_t> free = freeSpace_(archive_.get());
        if (!free || *free < freeSpaceReserve || *free - freeSpaceReserve < bytes.size()) {
            throw ArchivePipelineError::insufficientSpace();
        }
        nextSpaceCheck_ = newTotal > std::numeric_limits<std::uint64_t>::max() - spaceCheckInterval
                              ? std::numeric_limits<std::uint64_t>::max()
                              : newTotal + spaceCheckInterval;
    }
    // The guards above counted these bytes as written; a failure after them poisons the writer,
    // so nothing counted here is ever written twice or left out of a finished archive.
    archiveEndPosition();
    archiveBytes_ = newTotal;
    if (pendingArchive_.empty() && bytes.size() >= chunkSize) {
        posix::writeAll(archive_.get(), bytes.data(), bytes.size());
        *archivePosition_ += bytes.size();
        return;
    }
    pendingArchive_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (pendingArchive_.size() >= chunkSize) {
        flushArchive();
    }
}

void StreamingZIPWriter::flushArchive() {
    if (pendingArchive_.empty()) {
        return;
    }
    // Taken out first: bytes a failed write may have left half written are never written again.
    std::string out;
    out.swap(pendingArchive_);
    posix::writeAll(archive_.get(), out.data(), out.size());
    *archivePosition_ += out.size();
    out.clear();
    out.swap(pendingArchive_);  // keeps the buffer's capacity for the next entry
}

void StreamingZIPWriter::appendCentralDirectory(std::string_view record) {
    std::uint64_t newSize = 0;
    if (__builtin_add_overflow(centralDirectorySize_, record.size(), &newSize)) {
        throw ArchivePipelineError::insufficientSpace();
    }
    pendingCentralDirectory_.append(record);
    centralDirectorySize_ = newSize;
    if (pendingCentralDirectory_.size() >= chunkSize) {
        flushCentralDirectory();
    }
}

void StreamingZIPWriter::flushCentralDirectory() {
    std::string out;
    out.swap(pendingCentralDirectory_);
    posix::writeAll(centralDirectory_.get(), out.data(), out.size());
    out.clear();
    out.swap(pendingCentralDirectory_);
}

void StreamingZIPWriter::fail() noexcept {
    failed_ = true;
    // What was counted before the failure still goes out, as if each write had gone straight to
    // the file; the writer is unusable either way.
    if (!pendingArchive_.empty() && archive_) {
        try {
            flushArchive();
        } catch (...) {
        }
    }
    pendingArchive_.clear();
    // Stops the workers: nothing they would still produce can be written.
    parallel_.reset();
}

void StreamingZIPWriter::countEntry() {
    if (entryCount_ == std::numeric_limits<std::uint64_t>::max()) {
        throw ArchivePipelineError::tooManyEntries();
    }
    ++entryCount_;
}

std::size_t StreamingZIPWriter::defaultThreadCount() noexcept {
    return ThreadPool::threadCount(std::getenv("TOLVANE_PACK_THREADS"));
}

std::uint64_t StreamingZIPWriter::dataBound(std::uint64_t uncompressedSize) {
    if (!deflater_) {
        deflater_ = std::make_unique<ZipDeflateStream>(compressionMode_);
    }
    if (uncompressedSize <= partSize) {
        return deflater_->bound(uncompressedSize);
    }
    const std::uint64_t parts = (uncompressedSize - 1) / partSize + 1;
    const std::uint64_t perPart = deflater_->partBound(partSize);
    std::uint64_t total = 0;
    return __builtin_mul_overflow(parts, perPart, &total)
               ? std::numeric_limits<std::uint64_t>::max()
               : total;
}

void StreamingZIPWriter::beginEntry(OpenEntry entry, std::string_view localHeader) {
    current_ = std::move(entry);
    current_.localHeaderOffset = archiveEndPosition();
    writeArchive(localHeader);
}

void StreamingZIPWriter::writeData(std::span<const std::uint8_t> bytes, std::uint32_t crc32,
                                   std::uint64_t sourceBytes) {
    writeArchive(bytes);
    current_.written += bytes.size();
    current_.crc32 = static_cast<std::uint32_t>(
        crc32_combine(current_.crc32, crc32, static_cast<z_off_t>(sourceBytes)));
}

void StreamingZIPWriter::finishEntry() {
    OpenEntry& open = current_;
    Layout::CentralEntry entry;
    entry.isDirectory = open.isDirectory;
    entry.modified = open.modified;
    entry.localHeaderOffset = open.localHeaderOffset;
    entry.permissions = open.permissions;
    if (!open.isDirectory) {
        // Cannot happen while zlib keeps its bound; a descriptor narrower than the data would
        // be misread, so refuse rather than write one.
        if (!open.zip64 && open.written >= Layout::zip64SizeThreshold) {
            throw ArchivePipelineError::finalizationFailed(
                "ZIP entry outgrew its compression bound: " + open.path);
        }
        writeArchive(
            Layout::dataDescriptor(open.crc32, open.written, open.uncompressedSize, open.zip64));
        entry.method = open.method;
        entry.crc32 = open.crc32;
        entry.compressedSize = open.written;
        entry.uncompressedSize = open.uncompressedSize;
        entry.zip64Local = open.zip64;
    }
    const std::string centralExtra = Layout::centralExtraField(entry, open.extendedAttributes);
    if (centralExtra.size() > Layout::maximumFieldLength) {
        throw ArchivePipelineError::unsupportedArchiveEntry(
            open.isDirectory ? directoryMetadataTooLarge(open.path)
                             : fileMetadataTooLarge(open.path));
    }
    appendCentralDirectory(Layout::centralRecord(entry, open.name, centralExtra));
    countEntry();
}

StreamingZIPWriter::FileReceipt StreamingZIPWriter::addFile(
    const std::string& path, std::uint64_t uncompressedSize, std::int64_t modificationSeconds,
    std::uint16_t permissions, std::string_view extendedAttributes,
    CompressionMethod compressionMethod, const CheckCancelled& checkCancelled, const Read& read) {
    requireOpen();
    ScopeExit failOnExit([this]() noexcept { fail(); });
    OpenEntry entry;
    entry.path = path;
    entry.name = encodedName(path);
    entry.modified = Layout::dosDateTime(modificationSeconds);
    const bool deflated = compressionMethod == CompressionMethod::deflate;
    entry.method = deflated ? ZipFormat::methodDeflate : ZipFormat::methodStored;
    entry.uncompressedSize = uncompressedSize;
    entry.permissions = permissions;
    entry.extendedAttributes = extendedAttributes;
    // The bound settles the ZIP64 form before the header is written: incompressible data just
    // under 4 GiB can deflate to more than 4 GiB.
    entry.zip64 = Layout::fileUsesZip64(uncompressedSize,
                                        deflated ? dataBound(uncompressedSize) : uncompressedSize);

    const std::string localExtra =
        Layout::fileLocalExtraField(entry.zip64, uncompressedSize, extendedAttributes);
    if (localExtra.size() > Layout::maximumFieldLength) {
        throw ArchivePipelineError::unsupportedArchiveEntry(fileMetadataTooLarge(path));
    }
    std::string header =
        Layout::fileLocalHeader(entry.name, entry.modified, entry.method, entry.zip64, localExtra);
    Sha256 sha256;
    if (parallel_) {
        queueFile(std::move(entry), std::move(header), sha256, checkCancelled, read);
    } else {
        readFile(std::move(entry), header, sha256, checkCancelled, read);
    }
    FileReceipt receipt{uncompressedSize, HexString::encode(sha256.finish())};
    failOnExit.dismiss();
    return receipt;
}

void StreamingZIPWriter::readFile(OpenEntry entry, std::string_view localHeader, Sha256& sha256,
                                  const CheckCancelled& checkCancelled, const Read& read) {
    const std::uint64_t size = entry.uncompressedSize;
    const bool deflated = entry.method == ZipFormat::methodDeflate;
    beginEntry(std::move(entry), localHeader);
    std::uint64_t readCount = 0;
    if (!deflated) {
        block_.resize(chunkSize);
        while (readCount < size) {
            checkCancelled();
            const auto count =
                static_cast<std::size_t>(std::min<std::uint64_t>(size - readCount, chunkSize));
            const std::span<std::uint8_t> block(block_.data(), count);
            if (read(readCount, block) != count) {
                throw ArchivePipelineError::sourceChanged(current_.path);
            }
            sha256.update(block);
            writeData(block, static_cast<std::uint32_t>(crc32_z(0, block.data(), count)), count);
            readCount += count;
        }
    } else {
        // At least one part, so an empty source still gets a complete (empty) stream.
        do {
            const auto partBytes =
                static_cast<std::size_t>(std::min<std::uint64_t>(size - readCount, partSize));
            if (partInput_.size() < partBytes) {
                partInput_.resize(partBytes);
            }
            for (std::size_t offset = 0; offset < partBytes;) {
                checkCancelled();
                const std::size_t count = std::min(partBytes - offset, chunkSize);
                const std::span<std::uint8_t> block(partInput_.data() + offset, count);
                if (read(readCount, block) != count) {
                    throw ArchivePipelineError::sourceChanged(current_.path);
                }
                sha256.update(block);
                readCount += count;
                offset += count;
            }
            checkCancelled();
            const std::uint32_t crc =
                deflater_->compressPart(std::span<const std::uint8_t>(partInput_.data(), partBytes),
                                        readCount == size, partOutput_);
            checkCancelled();
            writeData(partOutput_, crc, partBytes);
        } while (readCount < size);
    }
    checkCancelled();
    finishEntry();
    flushArchive();
}

void StreamingZIPWriter::queueFile(OpenEntry entry, std::string localHeader, Sha256& sha256,
                                   const CheckCancelled& checkCancelled, const Read& read) {
    Parallel& parallel = *parallel_;
    const std::uint64_t size = entry.uncompressedSize;
    const std::string path = entry.path;
    const bool deflated = entry.method == ZipFormat::methodDeflate;
    // Enough work queued to keep every worker busy, and no more: the source bytes in flight stay
    // under 16 parts however many threads the machine has.
    const std::size_t threads = parallel.pool.size();
    const std::size_t maximumParts = 32 * threads;
    const std::uint64_t maximumBytes = std::min<std::uint64_t>(2 * threads, 16) * partSize;

    bool cancelled = false;
    const CheckCancelled check = [&] {
        try {
            checkCancelled();
        } catch (...) {
            cancelled = true;
            throw;
        }
    };
    try {
        parallel.pieces.push_back(
            {Piece::Kind::begin, std::move(entry), std::move(localHeader), {}});
        std::uint64_t readCount = 0;
        do {
            const auto partBytes =
                static_cast<std::size_t>(std::min<std::uint64_t>(size - readCount, partSize));
            auto part = std::make_shared<Part>();
            part->input.resize(partBytes);
            part->sourceBytes = partBytes;
            for (std::size_t offset = 0; offset < partBytes;) {
                check();
                const std::size_t count = std::min(partBytes - offset, chunkSize);
                const std::span<std::uint8_t> block(part->input.data() + offset, count);
                if (read(readCount, block) != count) {
                    throw ArchivePipelineError::sourceChanged(path);
                }
                sha256.update(block);
                readCount += count;
                offset += count;
            }
            const bool last = readCount == size;
            parallel.pieces.push_back({Piece::Kind::data, {}, {}, part});
            ++parallel.partsInFlight;
            parallel.bytesInFlight += partBytes;
            part->deflated = deflated;
            part->last = last;
            parallel.enqueue(std::move(part));
            while (parallel.partsInFlight > maximumParts || parallel.bytesInFlight > maximumBytes) {
                writeFront(check);
            }
        } while (readCount < size);
        check();
        parallel.pieces.push_back({Piece::Kind::finish, {}, {}, {}});
        writeReady(check);
    } catch (...) {
        // Everything handed over so far comes before this failure: writing it first reports
        // the error a single thread would have met first. A cancellation just stops.
        if (!cancelled) {
            writePendingEntries([] {});
        }
        throw;
    }
}

void StreamingZIPWriter::writeFront(const CheckCancelled& checkCancelled) {
    Parallel& parallel = *parallel_;
    Piece piece = std::move(parallel.pieces.front());
    parallel.pieces.pop_front();
    switch (piece.kind) {
        case Piece::Kind::begin:
            beginEntry(std::move(piece.entry), piece.header);
            break;
        case Piece::Kind::data:
            --parallel.partsInFlight;
            parallel.bytesInFlight -= piece.part->sourceBytes;
            if (!piece.part->submitted) {
                parallel.submitBatch();
            }
            piece.part->done
                .get();  // a worker's error, as the caller's thread would have thrown it
            checkCancelled();
            writeData(piece.part->output, piece.part->crc32, piece.part->sourceBytes);
            break;
        case Piece::Kind::finish:
            finishEntry();
            break;
    }
}

// Writes what is ready without waiting for a worker.
void StreamingZIPWriter::writeReady(const CheckCancelled& checkCancelled) {
    const std::deque<Piece>& pieces = parallel_->pieces;
    while (!pieces.empty() && (pieces.front().kind != Piece::Kind::data ||
                               pieces.front().part->done.wait_for(std::chrono::seconds(0)) ==
                                   std::future_status::ready)) {
        writeFront(checkCancelled);
    }
    flushArchive();
}

void StreamingZIPWriter::writePendingEntries(const CheckCancelled& checkCancelled) {
    // A failure or finalize() drops the workers, and with them anything left to write.
    if (!parallel_) {
        return;
    }
    requireOpen();
    ScopeExit failOnExit([this]() noexcept { fail(); });
    while (!parallel_->pieces.empty()) {
        writeFront(checkCancelled);
    }
    flushArchive();
    failOnExit.dismiss();
}

void StreamingZIPWriter::addDirectory(const std::string& path, std::int64_t modificationSeconds,
                                      std::uint16_t permissions,
                                      std::string_view extendedAttributes) {
    requireOpen();
    ScopeExit failOnExit([this]() noexcept { fail(); });
    OpenEntry entry;
    entry.path = path;
    entry.name = encodedName(path);
    entry.modified = Layout::dosDateTime(modificationSeconds);
    entry.isDirectory = true;
    entry.permissions = permissions;
    entry.extendedAttributes = extendedAttributes;
    if (extendedAttributes.size() > Layout::maximumFieldLength) {
        throw ArchivePipelineError::unsupportedArchiveEntry(directoryMetadataTooLarge(path));
    }
    std::string header =
        Layout::directoryLocalHeader(entry.name, entry.modified, extendedAttributes);
    if (parallel_) {
        parallel_->pieces.push_back({Piece::Kind::begin, std::move(entry), std::move(header), {}});
        parallel_->pieces.push_back({Piece::Kind::finish, {}, {}, {}});
        writeReady([] {});
    } else {
        beginEntry(std::move(entry), header);
        finishEntry();
        flushArchive();
    }
    failOnExit.dismiss();
}

void StreamingZIPWriter::finalize(const CheckCancelled& checkCancelled) {
    if (finalized_) {
        return;
    }
    requireOpen();
    writePendingEntries(checkCancelled);
    ScopeExit failOnExit([this]() noexcept { fail(); });
    parallel_.reset();
    flushCentralDirectory();
    posix::fsync(centralDirectory_.get());
    posix::close(centralDirectory_);

    const std::uint64_t centralDirectoryOffset = archiveEndPosition();
    const UniqueFd spool = posix::open(centralDirectoryPath_, O_RDONLY | O_NOFOLLOW);
    block_.resize(chunkSize);
    std::uint64_t copied = 0;
    for (;;) {
        checkCancelled();
        const std::size_t got = posix::readFull(spool.get(), block_.data(), block_.size());
        if (got == 0) {
            break;
        }
        writeArchive(std::span<const std::uint8_t>(block_.data(), got));
        copied += got;
    }
    // The end records describe the records this writer spooled; a spool that changed under it
    // would give an archive whose directory disagrees with them.
    if (copied != centralDirectorySize_) {
        throw ArchivePipelineError::finalizationFailed("ZIP central directory spool changed size");
    }

    const bool zip64 =
        Layout::needsZip64EndRecords(entryCount_, centralDirectorySize_, centralDirectoryOffset);
    if (zip64) {
        const std::uint64_t zip64EndOffset = archiveEndPosition();
        writeArchive(
            Layout::zip64EndRecord(entryCount_, centralDirectorySize_, centralDirectoryOffset) +
            Layout::zip64EndLocator(zip64EndOffset));
    }
    writeArchive(
        Layout::endRecord(entryCount_, centralDirectorySize_, centralDirectoryOffset, zip64));
    flushArchive();
    posix::fsync(archive_.get());
    posix::close(archive_);
    finalized_ = true;
    failOnExit.dismiss();
}

}  // namespace tolvane
