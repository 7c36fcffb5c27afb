#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/archive/ArchiveValues.h"
#include "core/common/UniqueFd.h"

namespace tolvane {

class Sha256;
class ZipDeflateStream;

// Byte encoders of the delivery ZIP's records. Pure, so every ZIP64 threshold can be checked
// byte for byte without writing gigabytes. All integers are little-endian. Names and extra
// fields longer than 65535 bytes are refused with std::length_error (the writer checks first).
namespace DeliveryZIPLayout {

inline constexpr std::uint16_t versionDefault = 20;
inline constexpr std::uint16_t versionZip64 = 45;
inline constexpr std::uint16_t hostUnix = 0x0300;
inline constexpr std::uint16_t fileFlags = 0x0808;       // data descriptor + UTF-8 name
inline constexpr std::uint16_t directoryFlags = 0x0800;  // UTF-8 name
inline constexpr std::size_t maximumFieldLength = 65535;
inline constexpr std::uint64_t zip64SizeThreshold = std::uint64_t{1} << 32;

struct DosDateTime {
    std::uint16_t time = 0;
    std::uint16_t date = 0;
    friend bool operator==(const DosDateTime&, const DosDateTime&) = default;
};

// The MS-DOS time and date of whole seconds since 1970, broken down in UTC so an archive does
// not depend on the packing machine's time zone. Years are clamped to 1980 ... 2099 keeping the
// other fields; a time gmtime cannot break down becomes 1 January 1980, 00:00:00.
DosDateTime dosDateTime(std::int64_t secondsSince1970) noexcept;

// Whether a file entry carries the ZIP64 local block, and so 8-byte sizes in its descriptor.
// Settled before the header is written, from the uncompressed size and the most the data can
// grow to (the size itself when stored, the deflate bound otherwise), because the descriptor
// must have the width the local header announces.
bool fileUsesZip64(std::uint64_t uncompressedSize, std::uint64_t dataBound) noexcept;

// The ZIP64 local block (when zip64) followed by the extended-attribute block, if any.
std::string fileLocalExtraField(bool zip64, std::uint64_t uncompressedSize,
                                std::string_view extendedAttributes);
// The 30-byte local header of a file, then name and extra field. CRC and sizes are left to the
// data descriptor.
std::string fileLocalHeader(std::string_view name, DosDateTime modified, std::uint16_t method,
                            bool zip64, std::string_view extraField);
// A directory's local header: version 20, UTF-8 flag only, no data.
std::string directoryLocalHeader(std::string_view name, DosDateTime modified,
                                 std::string_view extraField);
// 16 bytes, or 24 with 8-byte sizes when zip64.
std::string dataDescriptor(std::uint32_t crc32, std::uint64_t compressedSize,
                           std::uint64_t uncompressedSize, bool zip64);

struct CentralEntry {
    bool isDirectory = false;
    DosDateTime modified;
    std::uint16_t method = 0;
    std::uint32_t crc32 = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint64_t localHeaderOffset = 0;
    std::uint16_t permissions = 0;
    // The local header carried the ZIP64 block; the central record then never asks for a lower
    // version than the local header did.
    bool zip64Local = false;
};

// The ZIP64 central block (each of uncompressed size, compressed size and local header offset
// that is 0xFFFFFFFF or more, in that order; a directory has only the offset), then the
// extended-attribute block, if any.
std::string centralExtraField(const CentralEntry& entry, std::string_view extendedAttributes);
// The 46-byte central record, then name and extra field.
std::string centralRecord(const CentralEntry& entry, std::string_view name,
                          std::string_view extraField);

// An archive needs the ZIP64 end records at 65535 entries, or a central directory whose size or
// offset reaches 0xFFFFFFFF.
bool needsZip64EndRecords(std::uint64_t entryCount, std::uint64_t centralDirectorySize,
                          std::uint64_t centralDirectoryOffset) noexcept;
std::string zip64EndRecord(std::uint64_t entryCount, std::uint64_t centralDirectorySize,
                           std::uint64_t centralDirectoryOffset);
std::string zip64EndLocator(std::uint64_t zip64EndRecordOffset);
// In ZIP64 form every count, size and offset field holds its marker.
std::string endRecord(std::uint64_t entryCount, std::uint64_t centralDirectorySize,
                      std::uint64_t centralDirectoryOffset, bool zip64Form);

}  // namespace DeliveryZIPLayout

// Writes the delivery ZIP in one forward pass: each entry's local header, data and descriptor go
// straight to the archive while its central record is spooled to a second file; finalize()
// copies the spool behind the last entry and writes the end records. Nothing written is ever
// rewritten, memory stays at a few blocks per thread, and every archive write passes the
// destination's size limit, the job's byte budget and a periodic free-space probe. Small writes
// are gathered: with one thread an entry's bytes reach the archive file by the time its call
// returns (on a failure, those before it), and the spool's by the time finalize() reads it back.
//
// Deflated data is cut into parts of partSize source bytes, each compressed on its own and ended
// on a byte boundary, so the archive's bytes do not depend on the thread count. With more than
// one thread, parts are compressed on a pool of workers while the caller reads on: addFile
// returns once the source is read and hashed, and the entry is written, in order, by a later
// call, writePendingEntries() or finalize(). A failing call first writes what was handed over
// before it, so it reports the error one thread would have met first (a cancellation excepted).
//
// One writer per archive, used by one thread. Any failure leaves the archive partial and the
// writer unusable: every later call throws std::logic_error, and the caller discards the stage
// that holds both files. The writer never reports progress itself; callers count the bytes their
// read callback hands out.
class StreamingZIPWriter {
public:
    static constexpr std::size_t chunkSize = 65536;
    // Source bytes per independently compressed part; also what a worker reads ahead by.
    static constexpr std::size_t partSize = 1024 * 1024;
    // Free space that must stay on the volume beyond each write.
    static constexpr std::uint64_t freeSpaceReserve = ArchiveDestinationPolicy::workspaceReserve;
    static constexpr std::uint64_t spaceCheckInterval = 1024 * 1024;

    enum class CompressionMethod { none, deflate };

    struct FileReceipt {
        std::uint64_t bytes = 0;  // uncompressed bytes read from the source
        std::string sha256;       // lowercase hex of exactly those bytes
        friend bool operator==(const FileReceipt&, const FileReceipt&) = default;
    };

    // Throws the caller's cancellation error.
    using CheckCancelled = std::function<void()>;
    // Fills the buffer with the source bytes at the offset and returns how many it wrote; any
    // count but the buffer's size means the source changed.
    using Read = std::function<std::size_t(std::uint64_t offset, std::span<std::uint8_t> buffer)>;
    // Free bytes of the volume holding the descriptor; nothing when the count does not fit in
    // 64 bits. Throws std::system_error when the volume cannot be asked.
    using FreeSpaceProbe = std::function<std::optional<std::uint64_t>(int fd)>;

    // The archive budget for a volume with that much free space: the free space less the
    // reserve, floored at 0; unknown stays unknown.
    static std::optional<std::uint64_t> archiveByteBudget(
        std::optional<std::uint64_t> volumeAvailableBytes) noexcept;
    // fstatvfs: f_bavail × f_frsize.
    static std::optional<std::uint64_t> volumeFreeBytes(int fd);
    // The threads a pack compresses on: TOLVANE_PACK_THREADS when it holds a positive count,
    // else the machine's hardware threads.
    static std::size_t defaultThreadCount() noexcept;

    // `archive` and `centralDirectory` are open for writing (both normally fresh and empty;
    // offsets are taken from the archive's real end). The spool is reopened for reading through
    // `centralDirectoryPath` by finalize(). An empty probe means volumeFreeBytes. With one
    // thread everything runs on the caller's; with more, that many workers compress.
    StreamingZIPWriter(UniqueFd archive, UniqueFd centralDirectory,
                       std::string centralDirectoryPath, ArchiveCompressionMode compressionMode,
                       std::optional<std::uint64_t> maximumFileBytes,
                       std::optional<std::uint64_t> availableArchiveBytes,
                       FreeSpaceProbe freeSpace = {}, std::size_t threads = 1);
    StreamingZIPWriter(const StreamingZIPWriter&) = delete;
    StreamingZIPWriter& operator=(const StreamingZIPWriter&) = delete;
    // Stops and joins the workers, then closes both descriptors, ignoring errors; the spool file
    // stays where it is.
    ~StreamingZIPWriter();

    // Adds a file of exactly `uncompressedSize` bytes read in chunkSize blocks through `read`.
    // checkCancelled runs before every block is read, before every compressed block is written
    // and once after the data. `extendedAttributes` is an encoded extra-field block, copied
    // unchanged (empty: none). `permissions` is ORed into the external attributes as given.
    FileReceipt addFile(const std::string& path, std::uint64_t uncompressedSize,
                        std::int64_t modificationSeconds, std::uint16_t permissions,
                        std::string_view extendedAttributes, CompressionMethod compressionMethod,
                        const CheckCancelled& checkCancelled, const Read& read);

    // Adds a directory entry (no data) under the path as given.
    void addDirectory(const std::string& path, std::int64_t modificationSeconds,
                      std::uint16_t permissions, std::string_view extendedAttributes);

    // Writes every entry handed over so far (nothing to do with one thread, or once the writer
    // has failed or finished). A caller that fails
    // for a reason of its own calls it first, so an earlier entry's write error is the one
    // reported.
    void writePendingEntries(const CheckCancelled& checkCancelled);

    // Writes the central directory and the end records, flushes and closes the archive. A
    // second call after success does nothing.
    void finalize(const CheckCancelled& checkCancelled);

    std::uint64_t entryCount() const noexcept { return entryCount_; }
    std::uint64_t archiveBytes() const noexcept { return archiveBytes_; }
    bool isFinalized() const noexcept { return finalized_; }

private:
    // An entry being written: what its header announced and what its data has come to.
    struct OpenEntry {
        std::string path;
        std::string name;
        DeliveryZIPLayout::DosDateTime modified;
        bool isDirectory = false;
        std::uint16_t method = 0;
        bool zip64 = false;
        std::uint64_t uncompressedSize = 0;
        std::uint16_t permissions = 0;
        std::string extendedAttributes;
        std::uint64_t localHeaderOffset = 0;
        std::uint32_t crc32 = 0;
        std::uint64_t written = 0;
    };
    struct Part;
    struct Piece;
    struct Parallel;

    void beginEntry(OpenEntry entry, std::string_view localHeader);
    void writeData(std::span<const std::uint8_t> bytes, std::uint32_t crc32,
                   std::uint64_t sourceBytes);
    void finishEntry();
    std::uint64_t dataBound(std::uint64_t uncompressedSize);
    void readFile(OpenEntry entry, std::string_view localHeader, Sha256& sha256,
                  const CheckCancelled& checkCancelled, const Read& read);
    void queueFile(OpenEntry entry, std::string localHeader, Sha256& sha256,
                   const CheckCancelled& checkCancelled, const Read& read);
    void writeFront(const CheckCancelled& checkCancelled);
    void writeReady(const CheckCancelled& checkCancelled);
    std::string encodedName(const std::string& path) const;
    std::uint64_t archiveEndPosition();
    void writeArchive(std::span<const std::uint8_t> bytes);
    void writeArchive(std::string_view bytes);
    void flushArchive();
    void appendCentralDirectory(std::string_view record);
    void flushCentralDirectory();
    void countEntry();
    void fail() noexcept;
    void requireOpen() const;

    UniqueFd archive_;
    UniqueFd centralDirectory_;
    std::string centralDirectoryPath_;
    std::uint64_t entryCount_ = 0;
    std::uint64_t centralDirectorySize_ = 0;
    bool finalized_ = false;
    // Set by any call that did not complete. The archive then holds bytes no central record
    // describes and archiveBytes_ may trail the file, so nothing more may be written.
    bool failed_ = false;
    ArchiveCompressionMode compressionMode_;
    std::optional<std::uint64_t> maximumFileBytes_;
    std::optional<std::uint64_t> availableArchiveBytes_;
    std::uint64_t archiveBytes_ = 0;
    // The first write probes the volume.
    std::uint64_t nextSpaceCheck_ = 0;
    FreeSpaceProbe freeSpace_;
    // One block buffer for stored data and the spool copy, allocated on first use.
    std::vector<std::uint8_t> block_;
    // Where the next archive byte goes, learnt from the file once, and the bytes counted but
    // not yet written there; likewise for the spool.
    std::optional<std::uint64_t> archivePosition_;
    std::string pendingArchive_;
    std::string pendingCentralDirectory_;
    // Set up on the first deflated entry and reset for each part.
    std::unique_ptr<ZipDeflateStream> deflater_;
    // The part being compressed on the caller's thread and its output.
    std::vector<std::uint8_t> partInput_;
    std::vector<std::uint8_t> partOutput_;
    OpenEntry current_;
    // The workers and the entries handed over but not yet written; none with one thread.
    std::unique_ptr<Parallel> parallel_;
};

}  // namespace tolvane
