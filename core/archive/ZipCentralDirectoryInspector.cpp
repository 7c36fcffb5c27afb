#include "core/archive/ZipCentralDirectoryInspector.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/archive/ArchiveLimits.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ZipFormat.h"
#include "core/common/Posix.h"
#include "core/common/UniqueFd.h"

namespace tolvane::ZipCentralDirectoryInspector {

namespace {

using ZipFormat::get16;
using ZipFormat::get32;
using ZipFormat::get64;
namespace Central = ZipFormat::CentralHeader;
namespace End = ZipFormat::EndOfCentralDirectory;
namespace End64 = ZipFormat::Zip64EndOfCentralDirectory;
namespace Locator = ZipFormat::Zip64EndLocator;

// The end record plus the longest comment it can announce.
constexpr std::uint64_t tailWindow = ZipFormat::endOfCentralDirectorySize + 65535;
// libzip reads the locator's room before the window too; so does this reader, so that both
// search the same bytes.
constexpr std::uint64_t readWindow = tailWindow + ZipFormat::zip64EndLocatorSize;
// Encrypted (bit 0), strongly encrypted (bit 6), masked central directory (bit 13).
constexpr std::uint16_t encryptionFlags = 0x2041;
constexpr std::uint16_t supportedMethodBits = 0x0008;  // stored (0) or deflate (8), nothing else
constexpr std::size_t readBlock = 65536;

[[noreturn]] void invalid(const std::string& detail) {
    throw ArchivePipelineError::invalidArchive(detail);
}

bool addOverflows(std::uint64_t a, std::uint64_t b, std::uint64_t& sum) {
    return __builtin_add_overflow(a, b, &sum);
}

// Offsets handed to pread are always within the file size, which fits off_t.
off_t fileOffset(std::uint64_t offset) {
    return static_cast<off_t>(offset);
}

// A forward-only, buffered view of the file from one position on, so the walk costs one pread
// per 64 KiB rather than two per record. Skipping past the buffer drops it instead of reading
// what lies between (entry comments are never read on purpose).
class ForwardReader {
public:
    ForwardReader(int fd, std::uint64_t position, std::uint64_t fileSize)
        : fd_(fd), position_(position), fileSize_(fileSize), buffer_(readBlock) {}

    std::uint64_t position() const noexcept { return position_; }

    // Copies count bytes; returns fewer only when the file ends first.
    std::size_t read(unsigned char* out, std::size_t count) {
        std::size_t done = 0;
        while (done < count) {
            if (begin_ == end_ && !refill()) {
                break;
            }
            const std::size_t take = std::min(count - done, end_ - begin_);
            std::memcpy(out + done, buffer_.data() + begin_, take);
            begin_ += take;
            done += take;
            position_ += take;
        }
        return done;
    }

    // Moves forward to target, which is not behind the current position.
    void skipTo(std::uint64_t target) {
        const std::uint64_t distance = target - position_;
        if (distance <= end_ - begin_) {
            begin_ += static_cast<std::size_t>(distance);
        } else {
            begin_ = end_ = 0;
        }
        position_ = target;
    }

private:
    bool refill() {
        if (position_ >= fileSize_) {
            return false;
        }
        const auto want = static_cast<std::size_t>(
            std::min<std::uint64_t>(buffer_.size(), fileSize_ - position_));
        begin_ = 0;
        end_ = posix::preadAll(fd_, buffer_.data(), want, fileOffset(position_));
        return end_ > 0;
    }

    int fd_;
    std::uint64_t position_;
    std::uint64_t fileSize_;
    std::vector<unsigned char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// Where the central directory lies and how many records it must hold, once the end records
// have been checked.
struct DirectoryBounds {
    std::uint64_t totalEntries = 0;
    std::uint64_t offset = 0;
    std::uint64_t end = 0;
    // File offsets, ascending, of the other end records before the directory that a reader could
    // take for the archive's; each must turn out to lie in an entry's data.
    std::vector<std::uint64_t> otherEndRecords;
};

// The tail of the file: the search window and, when the file is long enough, the locator's room
// before it.
struct Tail {
    std::vector<unsigned char> bytes;
    std::uint64_t start = 0;      // file offset of bytes[0]
    std::size_t searchStart = 0;  // first position an end record may start at
};

bool hasSignature(const unsigned char* p, std::uint32_t signature) {
    return get32(p) == signature;
}

// Whether the end record at position could be taken for the archive's by a reader that, like
// libzip, accepts the first one it can use rather than the one whose comment ends the file: its
// comment fits in the file, and either a ZIP64 locator precedes it or it names one disk, equal
// entry counts and a central directory before itself.
bool endRecordParses(const Tail& tail, std::size_t position) {
    const unsigned char* record = tail.bytes.data() + position;
    if (position + ZipFormat::endOfCentralDirectorySize + get16(record + End::commentLength) >
        tail.bytes.size()) {
        return false;
    }
    if (position >= ZipFormat::zip64EndLocatorSize &&
        hasSignature(record - ZipFormat::zip64EndLocatorSize,
                     ZipFormat::zip64EndLocatorSignature)) {
        return true;
    }
    const std::uint64_t directoryEnd =
        std::uint64_t{get32(record + End::directoryOffset)} + get32(record + End::directorySize);
    return get16(record + End::diskNumber) == 0 && get16(record + End::directoryDisk) == 0 &&
           get16(record + End::entriesOnDisk) == get16(record + End::totalEntries) &&
           directoryEnd <= tail.start + position;
}

bool centralSignatureAt(int fd, std::uint64_t fileSize, std::uint64_t offset) {
    std::array<unsigned char, 4> bytes{};
    return offset <= fileSize && fileSize - offset >= bytes.size() &&
           posix::preadAll(fd, bytes.data(), bytes.size(), fileOffset(offset)) == bytes.size() &&
           get32(bytes.data()) == ZipFormat::centralHeaderSignature;
}

// Whether a reader could take the end record at position, which is not the archive's, for the
// archive's own: it parses, and the directory it names could be read, being empty or starting
// with a central record either where it says or where a reader that measures back from the end
// records (as Python's does) puts it. A stored ZIP's end record names offsets inside that ZIP,
// where the outer archive holds no central record.
bool couldBeTakenForTheArchives(int fd, std::uint64_t fileSize, const Tail& tail,
                                std::size_t position) {
    if (!endRecordParses(tail, position)) {
        return false;
    }
    const unsigned char* record = tail.bytes.data() + position;
    std::uint64_t entries = get16(record + End::totalEntries);
    std::uint64_t size = get32(record + End::directorySize);
    std::uint64_t offset = get32(record + End::directoryOffset);
    std::uint64_t boundary = tail.start + position;
    if (position >= ZipFormat::zip64EndLocatorSize &&
        hasSignature(record - ZipFormat::zip64EndLocatorSize,
                     ZipFormat::zip64EndLocatorSignature)) {
        const std::uint64_t zip64Offset =
            get64(record - ZipFormat::zip64EndLocatorSize + Locator::recordOffset);
        std::array<unsigned char, ZipFormat::zip64EndOfCentralDirectorySize> zip64{};
        if (zip64Offset > fileSize || fileSize - zip64Offset < zip64.size() ||
            posix::preadAll(fd, zip64.data(), zip64.size(), fileOffset(zip64Offset)) !=
                zip64.size() ||
            get32(zip64.data()) != ZipFormat::zip64EndOfCentralDirectorySignature) {
            return false;
        }
        entries = get64(zip64.data() + End64::totalEntries);
        size = get64(zip64.data() + End64::directorySize);
        offset = get64(zip64.data() + End64::directoryOffset);
        boundary = zip64Offset;
    }
    return (entries == 0 && size == 0) || centralSignatureAt(fd, fileSize, offset) ||
           (size <= boundary && centralSignatureAt(fd, fileSize, boundary - size));
}

// The end record is the highest signature whose comment reaches exactly the end of the file.
// Every other signature in the tail is returned in others, to be judged once the archive's own
// directory is known.
struct EndRecordSearch {
    std::optional<std::size_t> found;
    std::vector<std::size_t> others;
};

EndRecordSearch locateEndRecord(const Tail& tail) {
    constexpr std::size_t recordSize = ZipFormat::endOfCentralDirectorySize;
    const std::vector<unsigned char>& bytes = tail.bytes;
    EndRecordSearch search;
    if (bytes.size() < recordSize + tail.searchStart) {
        return search;
    }
    for (std::size_t position = tail.searchStart; position + recordSize <= bytes.size();
         ++position) {
        const unsigned char* record = bytes.data() + position;
        if (!hasSignature(record, ZipFormat::endOfCentralDirectorySignature)) {
            continue;
        }
        if (position + recordSize + get16(record + End::commentLength) == bytes.size()) {
            if (search.found) {
                search.others.push_back(*search.found);
            }
            search.found = position;
        } else {
            search.others.push_back(position);
        }
    }
    return search;
}

DirectoryBounds readEndRecords(int fd, std::uint64_t fileSize) {
    Tail tail;
    const std::uint64_t tailLength = std::min(fileSize, readWindow);
    tail.start = fileSize - tailLength;
    tail.searchStart = tailLength == readWindow ? ZipFormat::zip64EndLocatorSize : 0;
    tail.bytes.resize(static_cast<std::size_t>(tailLength));
    if (posix::preadAll(fd, tail.bytes.data(), tail.bytes.size(), fileOffset(tail.start)) !=
        tail.bytes.size()) {
        invalid("end record");
    }

    const EndRecordSearch search = locateEndRecord(tail);
    const std::optional<std::size_t> found = search.found;
    if (!found) {
        invalid("missing end record");
    }
    const unsigned char* end = tail.bytes.data() + *found;
    if (get16(end + End::diskNumber) != 0 || get16(end + End::directoryDisk) != 0) {
        invalid("multi-volume ZIP is not supported");
    }
    const std::uint16_t entriesOnDisk = get16(end + End::entriesOnDisk);
    const std::uint16_t totalEntries = get16(end + End::totalEntries);
    if (entriesOnDisk != totalEntries) {
        invalid("inconsistent entry count");
    }
    const std::uint32_t size = get32(end + End::directorySize);
    const std::uint32_t offset = get32(end + End::directoryOffset);
    const std::uint64_t endRecordOffset = tail.start + *found;
    // A count of 0xFFFF is also a real count of 65535, so only the size and offset mark ZIP64.
    const bool zip64Marked = size == ZipFormat::zip64Marker32 || offset == ZipFormat::zip64Marker32;

    DirectoryBounds bounds{totalEntries, offset, 0, {}};
    std::uint64_t directorySize = size;
    // The central directory must end before the first end record that follows it.
    std::uint64_t boundary = endRecordOffset;

    // The locator sits right before the end record; the tail holds its room whenever the file
    // does.
    constexpr std::size_t locatorSize = ZipFormat::zip64EndLocatorSize;
    std::array<unsigned char, locatorSize> locator{};
    const bool hasLocator = *found >= locatorSize &&
                            hasSignature(end - locatorSize, ZipFormat::zip64EndLocatorSignature);
    if (hasLocator) {
        std::memcpy(locator.data(), end - locatorSize, locatorSize);
    }
    if (!hasLocator && zip64Marked) {
        invalid("missing ZIP64 locator");
    }

    if (hasLocator) {
        const std::uint64_t locatorOffset = endRecordOffset - locatorSize;
        if (get32(locator.data() + Locator::recordDisk) != 0 ||
            get32(locator.data() + Locator::totalDisks) != 1) {
            invalid("invalid ZIP64 locator");
        }
        const std::uint64_t zip64Offset = get64(locator.data() + Locator::recordOffset);
        constexpr std::size_t zip64RecordSize = ZipFormat::zip64EndOfCentralDirectorySize;
        if (zip64Offset > fileSize || fileSize - zip64Offset < zip64RecordSize) {
            invalid("invalid ZIP64 end record offset");
        }
        std::array<unsigned char, zip64RecordSize> record{};
        if (posix::preadAll(fd, record.data(), zip64RecordSize, fileOffset(zip64Offset)) !=
                zip64RecordSize ||
            get32(record.data()) != ZipFormat::zip64EndOfCentralDirectorySignature ||
            get32(record.data() + End64::diskNumber) != 0 ||
            get32(record.data() + End64::directoryDisk) != 0 ||
            get64(record.data() + End64::entriesOnDisk) !=
                get64(record.data() + End64::totalEntries)) {
            invalid("invalid ZIP64 end record");
        }
        // The record must end exactly where the locator begins: no gap a second reader could
        // interpret differently, and no overlap.
        const std::uint64_t restSize = get64(record.data() + End64::remainingSize);
        std::uint64_t recordEnd = 0;
        if (restSize < zip64RecordSize - 12 || addOverflows(zip64Offset, 12, recordEnd) ||
            addOverflows(recordEnd, restSize, recordEnd) || recordEnd != locatorOffset) {
            invalid("invalid ZIP64 end record length");
        }
        const std::uint64_t zip64EntriesOnDisk = get64(record.data() + End64::entriesOnDisk);
        const std::uint64_t zip64TotalEntries = get64(record.data() + End64::totalEntries);
        const std::uint64_t zip64DirectorySize = get64(record.data() + End64::directorySize);
        const std::uint64_t zip64DirectoryOffset = get64(record.data() + End64::directoryOffset);
        if ((entriesOnDisk != ZipFormat::zip64Marker16 && entriesOnDisk != zip64EntriesOnDisk) ||
            (totalEntries != ZipFormat::zip64Marker16 && totalEntries != zip64TotalEntries) ||
            (size != ZipFormat::zip64Marker32 && size != zip64DirectorySize) ||
            (offset != ZipFormat::zip64Marker32 && offset != zip64DirectoryOffset)) {
            invalid("inconsistent ZIP64 values");
        }
        if (zip64TotalEntries > ArchivePipeline::maxEntryCount) {
            throw ArchivePipelineError::tooManyEntries();
        }
        bounds.totalEntries = zip64TotalEntries;
        bounds.offset = zip64DirectoryOffset;
        directorySize = zip64DirectorySize;
        boundary = zip64Offset;
    }

    if (addOverflows(bounds.offset, directorySize, bounds.end) || bounds.end > boundary ||
        bounds.offset > fileSize) {
        invalid("central directory bounds");
    }

    // No entry's data lies in the directory, between it and the end records or in the comment, so
    // another end record there that a reader could take is refused at once. One before the
    // directory may belong to a ZIP stored inside this one; the walk finds out.
    for (const std::size_t position : search.others) {
        if (couldBeTakenForTheArchives(fd, fileSize, tail, position)) {
            if (tail.start + position >= bounds.offset) {
                invalid("more than one end record");
            }
            bounds.otherEndRecords.push_back(tail.start + position);
        }
    }
    std::sort(bounds.otherEndRecords.begin(), bounds.otherEndRecords.end());
    return bounds;
}

// The ZIP64 block's value for each classic field that defers to it, in the block's order.
void applyZip64(ZipCentralEntry& entry) {
    const bool uncompressed = entry.uncompressedSize == ZipFormat::zip64Marker32;
    const bool compressed = entry.compressedSize == ZipFormat::zip64Marker32;
    const bool offset = entry.localHeaderOffset == ZipFormat::zip64Marker32;
    if (!uncompressed && !compressed && !offset) {
        return;
    }
    const std::string number = std::to_string(entry.index + 1);
    const std::string_view extra = entry.extraField;
    std::size_t position = 0;
    while (extra.size() - position >= ZipFormat::ExtraBlock::headerSize) {
        const auto* block = reinterpret_cast<const unsigned char*>(extra.data() + position);
        const std::uint16_t size = get16(block + ZipFormat::ExtraBlock::dataSize);
        if (extra.size() - position - ZipFormat::ExtraBlock::headerSize < size) {
            break;
        }
        if (get16(block + ZipFormat::ExtraBlock::id) == ZipFormat::zip64ExtraID) {
            const unsigned char* values = block + ZipFormat::ExtraBlock::data;
            std::size_t used = 0;
            const auto take = [&](bool deferred, std::uint64_t& value) {
                if (!deferred) {
                    return;
                }
                if (size - used < 8) {
                    invalid("ZIP64 extra field is truncated: entry " + number);
                }
                value = get64(values + used);
                used += 8;
            };
            take(uncompressed, entry.uncompressedSize);
            take(compressed, entry.compressedSize);
            take(offset, entry.localHeaderOffset);
            return;
        }
        position += ZipFormat::ExtraBlock::headerSize + size;
    }
    invalid("ZIP64 extra field is missing: entry " + number);
}

ZipCentralEntry decode(std::uint64_t index, const unsigned char* record, std::string_view name,
                       std::string_view extraField, ZipEntryName::Encoding nameEncoding) {
    ZipCentralEntry entry;
    entry.name = name;
    entry.flags = get16(record + Central::flags);
    entry.path = ZipEntryName::decode(name, entry.flags, extraField, nameEncoding);
    entry.extraField = extraField;
    entry.centralRecord =
        std::string_view(reinterpret_cast<const char*>(record), ZipFormat::centralHeaderSize);
    entry.index = index;
    entry.method = get16(record + Central::method);
    entry.dosTime = get16(record + Central::dosTime);
    entry.dosDate = get16(record + Central::dosDate);
    entry.crc32 = get32(record + Central::crc32);
    entry.compressedSize = get32(record + Central::compressedSize);
    entry.uncompressedSize = get32(record + Central::uncompressedSize);
    entry.externalAttributes = get32(record + Central::externalAttributes);
    entry.localHeaderOffset = get32(record + Central::localHeaderOffset);
    applyZip64(entry);
    return entry;
}

// Forgets the other end records that lie inside the entry's data, where a ZIP stored in this one
// keeps its own: a reader takes such a record for the archive's only by reading the data as
// records, and then the offsets it names lead into the stored ZIP, not to this directory.
void forgetEndRecordsInData(int fd, std::uint64_t fileSize, const ZipCentralEntry& entry,
                            std::vector<std::uint64_t>& records) {
    constexpr std::uint64_t recordSize = ZipFormat::endOfCentralDirectorySize;
    constexpr std::uint64_t longestHeader = ZipFormat::localHeaderSize + 2 * 65535;
    const std::uint64_t start = entry.localHeaderOffset;
    const auto first = std::lower_bound(records.begin(), records.end(), start);
    std::uint64_t reach = 0;
    if (first == records.end() || addOverflows(start, longestHeader, reach) ||
        addOverflows(reach, entry.compressedSize, reach) || *first >= reach) {
        return;  // no record that the entry could hold: its local header is not even read
    }
    std::array<unsigned char, ZipFormat::localHeaderSize> header{};
    namespace Local = ZipFormat::LocalHeader;
    if (start > fileSize || fileSize - start < header.size() ||
        posix::preadAll(fd, header.data(), header.size(), fileOffset(start)) != header.size() ||
        get32(header.data()) != ZipFormat::localHeaderSignature) {
        return;
    }
    const std::uint64_t dataStart = start + header.size() +
                                    get16(header.data() + Local::nameLength) +
                                    get16(header.data() + Local::extraLength);
    const std::uint64_t dataEnd = dataStart + entry.compressedSize;  // below reach, so no overflow
    const auto inside = [&](std::uint64_t record) {
        return record >= dataStart && record < dataEnd && dataEnd - record >= recordSize;
    };
    records.erase(std::remove_if(first, records.end(), inside), records.end());
}

// The encoding of the archive's legacy names, weighed over every central record before any name
// is handed over, so that every reader takes each name alike. A record the walk refuses ends the
// weighing quietly; the walk then reports it in its own order.
ZipEntryName::Encoding chooseNameEncoding(int fd, std::uint64_t fileSize,
                                          const DirectoryBounds& bounds,
                                          const CheckCancelled& checkCancelled) {
    ZipEntryName::EncodingChooser chooser;
    ForwardReader reader(fd, bounds.offset, fileSize);
    std::array<unsigned char, ZipFormat::centralHeaderSize> fixed{};
    std::string variable;
    for (std::uint64_t index = 0; index < bounds.totalEntries; ++index) {
        if (checkCancelled) {
            checkCancelled();
        }
        if (reader.read(fixed.data(), fixed.size()) != fixed.size() ||
            get32(fixed.data()) != ZipFormat::centralHeaderSignature) {
            break;
        }
        const std::size_t nameLength = get16(fixed.data() + Central::nameLength);
        const std::size_t extraLength = get16(fixed.data() + Central::extraLength);
        const std::uint64_t recordEnd = reader.position() + nameLength + extraLength +
                                        get16(fixed.data() + Central::commentLength);
        variable.resize(nameLength + extraLength);
        if (recordEnd > bounds.end || reader.read(reinterpret_cast<unsigned char*>(variable.data()),
                                                  variable.size()) != variable.size()) {
            break;
        }
        const std::string_view bytes(variable);
        chooser.add(bytes.substr(0, nameLength), get16(fixed.data() + Central::flags),
                    bytes.substr(nameLength));
        reader.skipTo(recordEnd);
    }
    return chooser.chosen();
}

ZipCentralDirectory walk(int fd, const CheckCancelled& checkCancelled, const OnEntry& onEntry) {
    const struct stat status = posix::fstat(fd);
    // Only a regular file has a stable size and answers positioned reads; a directory keeps its
    // own error so the caller can tell it apart.
    if (S_ISDIR(status.st_mode)) {
        posix::throwErrno(EISDIR, "ZIP archive is a directory");
    }
    if (!S_ISREG(status.st_mode)) {
        posix::throwErrno(EINVAL, "ZIP archive is not a regular file");
    }
    const std::uint64_t fileSize =
        status.st_size > 0 ? static_cast<std::uint64_t>(status.st_size) : 0;

    DirectoryBounds bounds = readEndRecords(fd, fileSize);
    std::vector<std::uint64_t>& otherEndRecords = bounds.otherEndRecords;
    const ZipEntryName::Encoding nameEncoding =
        chooseNameEncoding(fd, fileSize, bounds, checkCancelled);

    ForwardReader reader(fd, bounds.offset, fileSize);
    std::array<unsigned char, ZipFormat::centralHeaderSize> fixed{};
    std::string variable;
    for (std::uint64_t index = 0; index < bounds.totalEntries; ++index) {
        if (checkCancelled) {
            checkCancelled();
        }
        if (reader.read(fixed.data(), fixed.size()) != fixed.size() ||
            get32(fixed.data()) != ZipFormat::centralHeaderSignature) {
            invalid("central directory entry");
        }
        const unsigned char* record = fixed.data();
        const std::uint16_t flags = get16(record + Central::flags);
        if ((flags & encryptionFlags) != 0) {
            throw ArchivePipelineError::unsupportedArchiveEntry("encrypted entry");
        }
        const std::uint16_t method = get16(record + Central::method);
        if ((method & ~supportedMethodBits) != 0 || get16(record + Central::diskNumberStart) != 0) {
            invalid("unsupported compression or split entry");
        }
        const std::size_t nameLength = get16(record + Central::nameLength);
        const std::size_t extraLength = get16(record + Central::extraLength);
        const std::size_t commentLength = get16(record + Central::commentLength);
        // The position never exceeds the file size, and the lengths add up to less than 2^18.
        const std::uint64_t recordEnd =
            reader.position() + nameLength + extraLength + commentLength;
        if (recordEnd > bounds.end) {
            invalid("central directory entry length");
        }
        // Every record is decoded, its name and ZIP64 values included, even without a callback,
        // so the verdict never depends on whether records are handed over.
        variable.resize(nameLength + extraLength);
        if (reader.read(reinterpret_cast<unsigned char*>(variable.data()), variable.size()) !=
            variable.size()) {
            invalid("truncated central directory entry");
        }
        const std::string_view bytes(variable);
        const ZipCentralEntry entry = decode(index, record, bytes.substr(0, nameLength),
                                             bytes.substr(nameLength), nameEncoding);
        if (!otherEndRecords.empty()) {
            forgetEndRecordsInData(fd, fileSize, entry, otherEndRecords);
        }
        if (onEntry) {
            onEntry(entry);
        }
        reader.skipTo(recordEnd);
    }
    if (reader.position() != bounds.end) {
        invalid("central directory size does not match entries");
    }
    if (!otherEndRecords.empty()) {
        invalid("more than one end record");
    }
    return {bounds.totalEntries, bounds.offset, bounds.end - bounds.offset, nameEncoding};
}

}  // namespace

ZipCentralDirectory inspect(int fd, const CheckCancelled& checkCancelled, const OnEntry& onEntry) {
    return walk(fd, checkCancelled, onEntry);
}

std::uint64_t entryCount(const std::string& path, const CheckCancelled& checkCancelled,
                         const OnEntry& onEntry) {
    // A link in the final component is refused, and O_NONBLOCK keeps a FIFO put in the
    // archive's place from blocking the open until some writer appears; walk() then refuses
    // it. Reads of a regular file ignore the flag.
    const UniqueFd fd = posix::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    return walk(fd.get(), checkCancelled, onEntry).entryCount;
}

std::uint64_t entryCount(int fd, const CheckCancelled& checkCancelled, const OnEntry& onEntry) {
    return walk(fd, checkCancelled, onEntry).entryCount;
}

}  // namespace tolvane::ZipCentralDirectoryInspector
