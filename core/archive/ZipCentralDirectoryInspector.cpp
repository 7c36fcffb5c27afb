#include "core/archive/ZipCentralDirectoryInspector.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
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
// entry counts and a central directory before itself. locator is the 20 bytes before the record,
// or null where the file has no room for them.
bool endRecordParses(std::uint64_t fileSize, const unsigned char* record, std::uint64_t position,
                     const unsigned char* locator) {
    if (fileSize - position <
        ZipFormat::endOfCentralDirectorySize + get16(record + End::commentLength)) {
        return false;
    }
    if (locator != nullptr && hasSignature(locator, ZipFormat::zip64EndLocatorSignature)) {
        return true;
    }
    const std::uint64_t directoryEnd =
        std::uint64_t{get32(record + End::directoryOffset)} + get32(record + End::directorySize);
    return get16(record + End::diskNumber) == 0 && get16(record + End::directoryDisk) == 0 &&
           get16(record + End::entriesOnDisk) == get16(record + End::totalEntries) &&
           directoryEnd <= position;
}

bool centralSignatureAt(int fd, std::uint64_t fileSize, std::uint64_t offset) {
    std::array<unsigned char, 4> bytes{};
    return offset <= fileSize && fileSize - offset >= bytes.size() &&
           posix::preadAll(fd, bytes.data(), bytes.size(), fileOffset(offset)) == bytes.size() &&
           get32(bytes.data()) == ZipFormat::centralHeaderSignature;
}

// The directory an end record that parses names: its entry count, size and offset, and where a
// reader that measures back from the end records (as Python's does) puts it instead, which is
// the boundary less the size.
struct NamedDirectory {
    std::uint64_t entries = 0;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;
    std::uint64_t boundary = 0;
};

std::optional<NamedDirectory> namedDirectory(int fd, std::uint64_t fileSize,
                                             const unsigned char* record, std::uint64_t position,
                                             const unsigned char* locator) {
    if (!endRecordParses(fileSize, record, position, locator)) {
        return std::nullopt;
    }
    NamedDirectory named{get16(record + End::totalEntries), get32(record + End::directorySize),
                         get32(record + End::directoryOffset), position};
    if (locator != nullptr && hasSignature(locator, ZipFormat::zip64EndLocatorSignature)) {
        const std::uint64_t zip64Offset = get64(locator + Locator::recordOffset);
        std::array<unsigned char, ZipFormat::zip64EndOfCentralDirectorySize> zip64{};
        if (zip64Offset > fileSize || fileSize - zip64Offset < zip64.size() ||
            posix::preadAll(fd, zip64.data(), zip64.size(), fileOffset(zip64Offset)) !=
                zip64.size() ||
            get32(zip64.data()) != ZipFormat::zip64EndOfCentralDirectorySignature) {
            return std::nullopt;
        }
        named = {get64(zip64.data() + End64::totalEntries),
                 get64(zip64.data() + End64::directorySize),
                 get64(zip64.data() + End64::directoryOffset), zip64Offset};
    }
    return named;
}

// Whether a reader could take the end record at position, which is not the archive's, for the
// archive's own: it parses, and the directory it names could be read, being empty or starting
// with a central record either where it says or where a reader that measures back from the end
// records puts it. A stored ZIP's end record names offsets inside that ZIP, where the outer
// archive holds no central record.
bool couldBeTakenForTheArchives(int fd, std::uint64_t fileSize, const Tail& tail,
                                std::size_t position) {
    const unsigned char* record = tail.bytes.data() + position;
    const std::optional<NamedDirectory> named = namedDirectory(
        fd, fileSize, record, tail.start + position,
        position >= ZipFormat::zip64EndLocatorSize ? record - ZipFormat::zip64EndLocatorSize
                                                   : nullptr);
    if (!named) {
        return false;
    }
    const auto [entries, size, offset, boundary] = *named;
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

// A reader that reads the ZIP64 end record at its fixed place, 56 bytes before the locator,
// rather than where the locator says, would take a second record that the extensible data of
// the first ends with.
void requireNoZip64RecordAtFixedPlace(int fd, std::uint64_t restSize, std::uint64_t locatorOffset) {
    constexpr std::size_t fixedSize = ZipFormat::zip64EndOfCentralDirectorySize;
    if (restSize == fixedSize - 12) {
        return;  // no extensible data: the fixed place is the record itself
    }
    std::array<unsigned char, 4> signature{};
    if (posix::preadAll(fd, signature.data(), signature.size(),
                        fileOffset(locatorOffset - fixedSize)) != signature.size() ||
        get32(signature.data()) == ZipFormat::zip64EndOfCentralDirectorySignature) {
        invalid("second ZIP64 end record");
    }
}

// Every other end-record signature in the tail, judged by where it lies. In the directory or the
// ZIP64 records it is part of that structure. Behind the start of the end record (in its comment,
// or in its own fields with a comment behind them) a reader that takes the last signature in the
// tail takes it whatever it says, so every one with room for a whole record after it is refused.
// One between the directory and the end records is refused when a reader could use it; the gap
// itself is refused afterwards. One before the directory is judged with the entries (see
// EntryLayout).
void requireNoOtherEndRecord(int fd, std::uint64_t fileSize, const Tail& tail,
                             const std::vector<std::size_t>& others, const DirectoryBounds& bounds,
                             std::uint64_t boundary, std::uint64_t endRecordOffset) {
    for (const std::size_t position : others) {
        const std::uint64_t offset = tail.start + position;
        if (offset > endRecordOffset ||
            (offset >= bounds.end && offset < boundary &&
             couldBeTakenForTheArchives(fd, fileSize, tail, position))) {
            invalid("more than one end record");
        }
    }
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

    DirectoryBounds bounds{totalEntries, offset, 0};
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
        requireNoZip64RecordAtFixedPlace(fd, restSize, locatorOffset);
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

    requireNoOtherEndRecord(fd, fileSize, tail, search.others, bounds, boundary, endRecordOffset);
    // Nothing lies between the directory and the end records: a second directory there is what
    // some readers take.
    if (bounds.end != boundary) {
        invalid("central directory does not end at the end records");
    }
    return bounds;
}

// The data of the extra field's first block with the id that accept takes, when it comes before
// any block that overruns the field.
template <typename Accept>
std::optional<std::string_view> extraBlock(std::string_view extra, std::uint16_t id,
                                           const Accept& accept) {
    std::size_t position = 0;
    while (extra.size() - position >= ZipFormat::ExtraBlock::headerSize) {
        const auto* block = reinterpret_cast<const unsigned char*>(extra.data() + position);
        const std::uint16_t size = get16(block + ZipFormat::ExtraBlock::dataSize);
        if (extra.size() - position - ZipFormat::ExtraBlock::headerSize < size) {
            break;
        }
        const std::string_view data = extra.substr(position + ZipFormat::ExtraBlock::data, size);
        if (get16(block + ZipFormat::ExtraBlock::id) == id && accept(data)) {
            return data;
        }
        position += ZipFormat::ExtraBlock::headerSize + size;
    }
    return std::nullopt;
}

std::optional<std::string_view> zip64Block(std::string_view extra) {
    return extraBlock(extra, ZipFormat::zip64ExtraID, [](std::string_view) { return true; });
}

// The name a reader that goes by local headers gives the entry from the local extra field: the
// first Unicode Path field carrying the CRC-32 of the raw name, whatever its version says.
std::optional<std::string_view> localUnicodePath(std::string_view raw, std::string_view extra) {
    constexpr std::size_t fixedSize = 5;  // version and CRC-32
    const uLong crc = crc32_z(0, reinterpret_cast<const Bytef*>(raw.data()), raw.size());
    const std::optional<std::string_view> block =
        extraBlock(extra, ZipFormat::unicodePathExtraID, [crc](std::string_view data) {
            return data.size() >= fixedSize &&
                   get32(reinterpret_cast<const unsigned char*>(data.data()) + 1) == crc;
        });
    return block ? std::optional(block->substr(fixedSize)) : std::nullopt;
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
    const std::optional<std::string_view> block = zip64Block(entry.extraField);
    if (!block) {
        invalid("ZIP64 extra field is missing: entry " + number);
    }
    const auto* values = reinterpret_cast<const unsigned char*>(block->data());
    std::size_t used = 0;
    const auto take = [&](bool deferred, std::uint64_t& value) {
        if (!deferred) {
            return;
        }
        if (block->size() - used < 8) {
            invalid("ZIP64 extra field is truncated: entry " + number);
        }
        value = get64(values + used);
        used += 8;
    };
    take(uncompressed, entry.uncompressedSize);
    take(compressed, entry.compressedSize);
    take(offset, entry.localHeaderOffset);
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

// Whether a reader looking for entries where no record sends it would take the 30 bytes at
// offset, which lie in the file, for a local header: its name and extra field lie in the file,
// and so does its data when the header states its size.
bool localHeaderParses(const unsigned char* header, std::uint64_t offset, std::uint64_t fileSize) {
    namespace Local = ZipFormat::LocalHeader;
    if (!hasSignature(header, ZipFormat::localHeaderSignature)) {
        return false;
    }
    const std::uint64_t dataStart = offset + ZipFormat::localHeaderSize +
                                    get16(header + Local::nameLength) +
                                    get16(header + Local::extraLength);
    const std::uint32_t compressed = get32(header + Local::compressedSize);
    return dataStart <= fileSize &&
           ((get16(header + Local::flags) & ZipFormat::flagDataDescriptor) != 0 ||
            compressed == ZipFormat::zip64Marker32 || fileSize - dataStart >= compressed);
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

bool localHeaderParsesAt(int fd, std::uint64_t fileSize, std::uint64_t offset) {
    std::array<unsigned char, ZipFormat::localHeaderSize> header{};
    return offset <= fileSize && fileSize - offset >= header.size() &&
           posix::preadAll(fd, header.data(), header.size(), fileOffset(offset)) == header.size() &&
           localHeaderParses(header.data(), offset, fileSize);
}

// Whether the directories that end records outside every entry name lead a reader to an entry:
// any central record of one, where the end record says or where a reader that measures back from
// the end records puts it, names a local header that parses (moved by as much as the directory
// was). The records are walked whatever the entry count says, within the stated size, up to the
// first that does not parse; a ZIP64 offset is not followed, such a record counts. A directory is
// walked once however many end records name it, and all of them together at most
// ArchivePipeline::maxEntryCount records, beyond which the archive is refused: no stub or signing
// block holds that many. Only directories that begin with a central record are remembered.
class NamedDirectories {
public:
    NamedDirectories(int fd, std::uint64_t fileSize) : fd_(fd), fileSize_(fileSize) {}

    bool leadToEntry(const NamedDirectory& named, const CheckCancelled& checkCancelled) {
        return leadsToEntry(named, named.offset, checkCancelled) ||
               (named.size <= named.boundary &&
                leadsToEntry(named, named.boundary - named.size, checkCancelled));
    }

private:
    bool leadsToEntry(const NamedDirectory& named, std::uint64_t directory,
                      const CheckCancelled& checkCancelled) {
        // Wraps around when the directory moved back, which moves the local offsets back.
        const std::uint64_t shift = directory - named.offset;
        std::uint64_t end = 0;
        if (addOverflows(directory, named.size, end) || end > fileSize_) {
            end = fileSize_;
        }
        std::array<unsigned char, ZipFormat::centralHeaderSize> record{};
        for (std::uint64_t at = directory; at < end && end - at >= record.size();) {
            if (posix::preadAll(fd_, record.data(), record.size(), fileOffset(at)) !=
                    record.size() ||
                get32(record.data()) != ZipFormat::centralHeaderSignature ||
                (at == directory && !walked_.emplace(directory, shift).second)) {
                return false;
            }
            if (records_ % 4096 == 0 && checkCancelled) {
                checkCancelled();
            }
            if (++records_ > ArchivePipeline::maxEntryCount) {
                invalid("too many central records outside the central directory");
            }
            const std::uint32_t local = get32(record.data() + Central::localHeaderOffset);
            if (local == ZipFormat::zip64Marker32 ||
                localHeaderParsesAt(fd_, fileSize_, local + shift)) {
                return true;
            }
            at += record.size() + get16(record.data() + Central::nameLength) +
                  get16(record.data() + Central::extraLength) +
                  get16(record.data() + Central::commentLength);
        }
        return false;
    }

    int fd_;
    std::uint64_t fileSize_;
    std::set<std::pair<std::uint64_t, std::uint64_t>> walked_;
    std::uint64_t records_ = 0;
};

// The data descriptor's length at bytes when it states the entry's CRC-32 and sizes, with or
// without its signature and with sizes of 8 bytes or of 4; 0 when no form does.
std::size_t descriptorLength(const unsigned char* bytes, std::size_t available,
                             const ZipCentralEntry& entry, bool wideFirst) {
    for (const bool signature : {true, false}) {
        for (const bool wide : {wideFirst, !wideFirst}) {
            const std::size_t start = signature ? 4 : 0;
            const std::size_t length = start + 4 + (wide ? 16 : 8);
            if (available < length ||
                (signature && !hasSignature(bytes, ZipFormat::dataDescriptorSignature))) {
                continue;
            }
            const unsigned char* values = bytes + start;
            const std::uint64_t compressed = wide ? get64(values + 4) : get32(values + 4);
            const std::uint64_t uncompressed = wide ? get64(values + 12) : get32(values + 8);
            if (get32(values) == entry.crc32 && compressed == entry.compressedSize &&
                uncompressed == entry.uncompressedSize) {
                return length;
            }
        }
    }
    return 0;
}

// Where every entry lies, from its local header to the end of its data and data descriptor, and
// what lies in the bytes no entry accounts for. Each local header must state what its central
// record does: method, encryption and descriptor flags, name (by a Unicode Path field too), and,
// without a descriptor, CRC-32
// and sizes (with one, each may be zero); the descriptor must state them too: readers that go by
// the local header then extract what the directory says. Entries never overlap (libzip trusts the
// directory's offsets, so records sharing one stretch of data would let a small archive expand
// into many full-size files) and all lie before the directory, so a signature inside one belongs
// to it: a ZIP stored in this one keeps its own end record in its data. The bytes between them (a
// self-extractor's stub, an APK's signing block) may hold anything but what another reader would
// take for this archive's records: a local header at offset 0 that no record names, a local header
// that parses in a gap, or an end record whose directory leads to an entry. Keeps 16 bytes per
// entry.
class EntryLayout {
public:
    EntryLayout(int fd, std::uint64_t fileSize) : fd_(fd), fileSize_(fileSize) {}

    void add(const ZipCentralEntry& entry) {
        namespace Local = ZipFormat::LocalHeader;
        const std::uint64_t offset = entry.localHeaderOffset;
        if (offset > fileSize_ || fileSize_ - offset < ZipFormat::localHeaderSize) {
            mismatch(entry);
        }
        // The header with room for a local extra field longer than the central one.
        const unsigned char* header = nullptr;
        const std::uint64_t guess = ZipFormat::localHeaderSize + entry.name.size() +
                                    entry.extraField.size() + localExtraRoom;
        std::size_t got = view(offset, guess, header);
        if (got < ZipFormat::localHeaderSize) {
            mismatch(entry);  // the file has shrunk since its size was taken
        }
        const std::size_t nameLength = get16(header + Local::nameLength);
        const std::size_t extraLength = get16(header + Local::extraLength);
        const std::size_t headerLength = ZipFormat::localHeaderSize + nameLength + extraLength;
        if (got < headerLength) {
            got = view(offset, headerLength, header);
        }
        if (got < headerLength) {
            mismatch(entry);
        }
        const std::string_view name(
            reinterpret_cast<const char*>(header) + ZipFormat::localHeaderSize, nameLength);
        if (!hasSignature(header, ZipFormat::localHeaderSignature) ||
            get16(header + Local::method) != entry.method ||
            (get16(header + Local::flags) & comparedFlags) != (entry.flags & comparedFlags) ||
            name != entry.name) {
            mismatch(entry);
        }
        const std::string_view extra(name.data() + nameLength, extraLength);
        // A reader that names entries by their local headers (bsdtar) takes a Unicode Path field
        // there over every flag; it must give the name this entry is extracted under.
        const std::optional<std::string_view> localPath = localUnicodePath(name, extra);
        if (localPath && *localPath != entry.path) {
            invalid("local header names another file: entry " + number(entry));
        }
        const bool described = (entry.flags & ZipFormat::flagDataDescriptor) != 0;
        const bool wide = requireSameValues(entry, header, extra, described);

        const std::uint64_t dataStart = offset + headerLength;
        std::uint64_t end = 0;
        if (addOverflows(dataStart, entry.compressedSize, end) || end > fileSize_) {
            invalid("entry data lies outside the archive: entry " + number(entry));
        }
        if (described) {
            const unsigned char* descriptor = nullptr;
            const std::size_t available = view(end, maxDescriptorSize, descriptor);
            const std::size_t length = descriptorLength(descriptor, available, entry, wide);
            if (length == 0) {
                invalid("data descriptor does not match its central record: entry " +
                        number(entry));
            }
            end += length;
        }
        spans_.emplace_back(offset, end);
    }

    // Once every entry has been added: the entries lie apart and before the directory, and the
    // bytes between them hold nothing another reader would take.
    void finish(std::uint64_t directoryOffset, const CheckCancelled& checkCancelled) {
        std::sort(spans_.begin(), spans_.end());
        for (std::size_t i = 0; i < spans_.size(); ++i) {
            if (spans_[i].second > directoryOffset) {
                invalid("entry overlaps the central directory");
            }
            if (i > 0 && spans_[i].first < spans_[i - 1].second) {
                invalid("entries share compressed data");
            }
        }
        const std::uint64_t firstEntry = spans_.empty() ? directoryOffset : spans_.front().first;
        if (firstEntry > 0 && localHeaderParsesAt(fd_, fileSize_, 0)) {
            invalid("local header that no central record names");
        }
        NamedDirectories named(fd_, fileSize_);
        scan(0, firstEntry, true, named, checkCancelled);
        for (std::size_t i = 0; i < spans_.size(); ++i) {
            const std::uint64_t next =
                i + 1 < spans_.size() ? spans_[i + 1].first : directoryOffset;
            scan(spans_[i].second, next, false, named, checkCancelled);
        }
        std::vector<std::pair<std::uint64_t, std::uint64_t>>().swap(spans_);
    }

private:
    static constexpr std::uint16_t comparedFlags = encryptionFlags | ZipFormat::flagDataDescriptor;
    static constexpr std::uint64_t localExtraRoom = 64;
    static constexpr std::uint64_t headerWindow = 16384;
    static constexpr std::size_t maxDescriptorSize = 24;
    // Bytes read past a block of unaccounted bytes, so that a record starting in it is whole.
    static constexpr std::uint64_t scanOverlap = 64;

    [[noreturn]] static void mismatch(const ZipCentralEntry& entry) {
        invalid("local header does not match its central record: entry " + number(entry));
    }
    static std::string number(const ZipCentralEntry& entry) {
        return std::to_string(entry.index + 1);
    }

    // Up to count bytes of the file from offset, which lies in it, as bytes; returns how many the
    // view holds, fewer only where the file ends. The view comes from a window kept from the last
    // read, valid until the next call: the local headers of small entries lie close together, so
    // one read serves many.
    std::size_t view(std::uint64_t offset, std::uint64_t count, const unsigned char*& bytes) {
        const std::uint64_t left = fileSize_ - offset;
        count = std::min(count, left);
        if (offset < windowStart_ || offset - windowStart_ + count > window_.size()) {
            window_.resize(static_cast<std::size_t>(std::min(left, std::max(count, headerWindow))));
            window_.resize(
                posix::preadAll(fd_, window_.data(), window_.size(), fileOffset(offset)));
            windowStart_ = offset;
        }
        bytes = window_.data() + (offset - windowStart_);
        return static_cast<std::size_t>(
            std::min<std::uint64_t>(count, window_.size() - (offset - windowStart_)));
    }

    // Reads count bytes at offset into the buffer; returns how many the file held.
    std::size_t readAt(std::uint64_t offset, std::uint64_t count) {
        buffer_.resize(static_cast<std::size_t>(count));
        return posix::preadAll(fd_, buffer_.data(), buffer_.size(), fileOffset(offset));
    }

    // The local CRC-32 and sizes, ZIP64 ones included, against the central record's: equal, or
    // with a descriptor zero. Returns whether the local header has a ZIP64 block, whose entries'
    // descriptors state 8-byte sizes.
    static bool requireSameValues(const ZipCentralEntry& entry, const unsigned char* header,
                                  std::string_view extra, bool described) {
        namespace Local = ZipFormat::LocalHeader;
        std::uint64_t uncompressed = get32(header + Local::uncompressedSize);
        std::uint64_t compressed = get32(header + Local::compressedSize);
        const std::optional<std::string_view> block = zip64Block(extra);
        if (uncompressed == ZipFormat::zip64Marker32 || compressed == ZipFormat::zip64Marker32) {
            const auto* values =
                block ? reinterpret_cast<const unsigned char*>(block->data()) : nullptr;
            std::size_t used = 0;
            for (std::uint64_t* value : {&uncompressed, &compressed}) {
                if (*value != ZipFormat::zip64Marker32) {
                    continue;
                }
                if (!block || block->size() - used < 8) {
                    mismatch(entry);
                }
                *value = get64(values + used);
                used += 8;
            }
        }
        const auto same = [described](std::uint64_t local, std::uint64_t central) {
            return local == central || (described && local == 0);
        };
        if (!same(get32(header + Local::crc32), entry.crc32) ||
            !same(compressed, entry.compressedSize) ||
            !same(uncompressed, entry.uncompressedSize)) {
            mismatch(entry);
        }
        return block.has_value();
    }

    // Looks through the unaccounted bytes [from, to) in blocks for signatures that start there.
    void scan(std::uint64_t from, std::uint64_t to, bool prefix, NamedDirectories& namedDirectories,
              const CheckCancelled& checkCancelled) {
        constexpr std::uint64_t locatorSize = ZipFormat::zip64EndLocatorSize;
        for (std::uint64_t block = from; block < to; block += readBlock) {
            if (checkCancelled) {
                checkCancelled();
            }
            const std::uint64_t blockEnd = std::min<std::uint64_t>(to, block + readBlock);
            const std::uint64_t readFrom = block - std::min(block, locatorSize);
            const std::size_t got =
                readAt(readFrom, std::min(fileSize_, blockEnd + scanOverlap) - readFrom);
            const std::uint64_t searchEnd = std::min(blockEnd, readFrom + got);
            for (std::uint64_t at = block; at < searchEnd; ++at) {
                const unsigned char* start = buffer_.data() + (at - readFrom);
                const void* found = std::memchr(start, 'P', searchEnd - at);
                if (found == nullptr) {
                    break;
                }
                at += static_cast<const unsigned char*>(found) - start;
                const unsigned char* bytes = static_cast<const unsigned char*>(found);
                const std::uint64_t room = readFrom + got - at;
                if (!prefix && room >= ZipFormat::localHeaderSize &&
                    localHeaderParses(bytes, at, fileSize_)) {
                    invalid("local header outside the central directory");
                }
                if (room >= ZipFormat::endOfCentralDirectorySize &&
                    hasSignature(bytes, ZipFormat::endOfCentralDirectorySignature)) {
                    const std::optional<NamedDirectory> named =
                        namedDirectory(fd_, fileSize_, bytes, at,
                                       at >= locatorSize ? bytes - locatorSize : nullptr);
                    if (named && namedDirectories.leadToEntry(*named, checkCancelled)) {
                        invalid("more than one end record");
                    }
                }
            }
        }
    }

    int fd_;
    std::uint64_t fileSize_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans_;
    std::vector<unsigned char> window_;
    std::uint64_t windowStart_ = 0;
    std::vector<unsigned char> buffer_;
};

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

    const DirectoryBounds bounds = readEndRecords(fd, fileSize);
    EntryLayout layout(fd, fileSize);
    const ZipEntryName::Encoding nameEncoding =
        chooseNameEncoding(fd, fileSize, bounds, checkCancelled);

    ForwardReader reader(fd, bounds.offset, fileSize);
    std::array<unsigned char, ZipFormat::centralHeaderSize> fixed{};
    std::string variable;
    for (std::uint64_t index = 0; index < bounds.totalEntries; ++index) {
        if (checkCancelled) {
            checkCancelled();
        }
        const std::uint64_t recordOffset = reader.position();
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
        // Every record is decoded, its name included, and its entry's local header read, with or
        // without a callback, so the verdict never depends on whether records are handed over.
        variable.resize(nameLength + extraLength);
        if (reader.read(reinterpret_cast<unsigned char*>(variable.data()), variable.size()) !=
            variable.size()) {
            invalid("truncated central directory entry");
        }
        const std::string_view bytes(variable);
        ZipCentralEntry entry = decode(index, record, bytes.substr(0, nameLength),
                                       bytes.substr(nameLength), nameEncoding);
        entry.recordOffset = recordOffset;
        if (onEntry) {
            onEntry(entry);
        }
        layout.add(entry);
        reader.skipTo(recordEnd);
    }
    if (reader.position() != bounds.end) {
        invalid("central directory size does not match entries");
    }
    layout.finish(bounds.offset, checkCancelled);
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
