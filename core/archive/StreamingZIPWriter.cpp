#include "core/archive/StreamingZIPWriter.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <limits>
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
                                       FreeSpaceProbe freeSpace)
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
}

void StreamingZIPWriter::countEntry() {
    if (entryCount_ == std::numeric_limits<std::uint64_t>::max()) {
        throw ArchivePipelineError::tooManyEntries();
    }
    ++entryCount_;
}

StreamingZIPWriter::FileReceipt StreamingZIPWriter::addFile(
    const std::string& path, std::uint64_t uncompressedSize, std::int64_t modificationSeconds,
    std::uint16_t permissions, std::string_view extendedAttributes,
    CompressionMethod compressionMethod, const CheckCancelled& checkCancelled, const Read& read) {
    requireOpen();
    ScopeExit failOnExit([this]() noexcept { fail(); });
    const std::string name = encodedName(path);
    const Layout::DosDateTime modified = Layout::dosDateTime(modificationSeconds);
    const std::uint64_t localHeaderOffset = archiveEndPosition();
    const bool deflated = compressionMethod == CompressionMethod::deflate;
    const std::uint16_t method = deflated ? ZipFormat::methodDeflate : ZipFormat::methodStored;

    // The stream exists before the header so its bound can settle the ZIP64 form: incompressible
    // data just under 4 GiB can deflate to more than 4 GiB.
    ZipDeflateStream* deflater = nullptr;
    std::uint64_t dataBound = uncompressedSize;
    if (deflated) {
        if (deflater_) {
            deflater_->reset();
        } else {
            deflater_ = std::make_unique<ZipDeflateStream>(compressionMode_);
        }
        deflater = deflater_.get();
        dataBound = deflater->bound(uncompressedSize);
    }
    const bool zip64 = Layout::fileUsesZip64(uncompressedSize, dataBound);

    const std::string localExtra =
        Layout::fileLocalExtraField(zip64, uncompressedSize, extendedAttributes);
    if (localExtra.size() > Layout::maximumFieldLength) {
        throw ArchivePipelineError::unsupportedArchiveEntry(fileMetadataTooLarge(path));
    }
    writeArchive(Layout::fileLocalHeader(name, modified, method, zip64, localExtra));

    Sha256 sha256;
    std::uint32_t crc = 0;
    std::uint64_t readCount = 0;
    std::uint64_t written = 0;

    if (!deflated) {
        block_.resize(chunkSize);
        while (readCount < uncompressedSize) {
            checkCancelled();
            const auto count = static_cast<std::size_t>(
                std::min<std::uint64_t>(uncompressedSize - readCount, chunkSize));
            const std::span<std::uint8_t> block(block_.data(), count);
            if (read(readCount, block) != count) {
                throw ArchivePipelineError::sourceChanged(path);
            }
            sha256.update(block);
            crc = static_cast<std::uint32_t>(crc32_z(crc, block.data(), block.size()));
            writeArchive(block);
            readCount += count;
            written += count;
        }
    } else {
        const auto provider = [&](std::uint64_t position, std::span<std::uint8_t> block) {
            checkCancelled();
            if (position != readCount) {
                throw ArchivePipelineError::sourceChanged(path);
            }
            if (block.empty()) {
                return std::size_t{0};
            }
            const std::size_t got = read(position, block);
            if (got != block.size() || got > uncompressedSize - readCount) {
                throw ArchivePipelineError::sourceChanged(path);
            }
            sha256.update(block);
            readCount += got;
            return got;
        };
        const auto consumer = [&](std::span<const std::uint8_t> bytes) {
            checkCancelled();
            writeArchive(bytes);
            written += bytes.size();
        };
        crc = deflater->compress(uncompressedSize, chunkSize, provider, consumer, checkCancelled);
    }

    if (readCount != uncompressedSize) {
        throw ArchivePipelineError::sourceChanged(path);
    }
    checkCancelled();
    // Cannot happen while zlib keeps its bound; a descriptor narrower than the data would be
    // misread, so refuse rather than write one.
    if (!zip64 && written >= Layout::zip64SizeThreshold) {
        throw ArchivePipelineError::finalizationFailed("ZIP entry outgrew its compression bound: " +
                                                       path);
    }
    writeArchive(Layout::dataDescriptor(crc, written, uncompressedSize, zip64));

    Layout::CentralEntry entry;
    entry.modified = modified;
    entry.method = method;
    entry.crc32 = crc;
    entry.compressedSize = written;
    entry.uncompressedSize = uncompressedSize;
    entry.localHeaderOffset = localHeaderOffset;
    entry.permissions = permissions;
    entry.zip64Local = zip64;
    const std::string centralExtra = Layout::centralExtraField(entry, extendedAttributes);
    if (centralExtra.size() > Layout::maximumFieldLength) {
        throw ArchivePipelineError::unsupportedArchiveEntry(fileMetadataTooLarge(path));
    }
    appendCentralDirectory(Layout::centralRecord(entry, name, centralExtra));
    countEntry();
    flushArchive();
    FileReceipt receipt{readCount, HexString::encode(sha256.finish())};
    failOnExit.dismiss();
    return receipt;
}

void StreamingZIPWriter::addDirectory(const std::string& path, std::int64_t modificationSeconds,
                                      std::uint16_t permissions,
                                      std::string_view extendedAttributes) {
    requireOpen();
    ScopeExit failOnExit([this]() noexcept { fail(); });
    const std::string name = encodedName(path);
    const Layout::DosDateTime modified = Layout::dosDateTime(modificationSeconds);
    const std::uint64_t localHeaderOffset = archiveEndPosition();
    if (extendedAttributes.size() > Layout::maximumFieldLength) {
        throw ArchivePipelineError::unsupportedArchiveEntry(directoryMetadataTooLarge(path));
    }
    writeArchive(Layout::directoryLocalHeader(name, modified, extendedAttributes));

    Layout::CentralEntry entry;
    entry.isDirectory = true;
    entry.modified = modified;
    entry.localHeaderOffset = localHeaderOffset;
    entry.permissions = permissions;
    const std::string centralExtra = Layout::centralExtraField(entry, extendedAttributes);
    if (centralExtra.size() > Layout::maximumFieldLength) {
        throw ArchivePipelineError::unsupportedArchiveEntry(directoryMetadataTooLarge(path));
    }
    appendCentralDirectory(Layout::centralRecord(entry, name, centralExtra));
    countEntry();
    flushArchive();
    failOnExit.dismiss();
}

void StreamingZIPWriter::finalize(const CheckCancelled& checkCancelled) {
    if (finalized_) {
        return;
    }
    requireOpen();
    ScopeExit failOnExit([this]() noexcept { fail(); });
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
