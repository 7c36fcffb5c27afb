#include "core/archive/ZipArchiveReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ZipEntryName.h"
#include "core/archive/ZipFormat.h"
#include "core/common/Digest.h"
#include "core/common/Posix.h"

namespace tolvane {

namespace {

struct ZipDiscard {
    void operator()(zip_t* archive) const noexcept { zip_discard(archive); }
};
struct ZipFileClose {
    // Reading stops early on every failure; the close result adds nothing to that error.
    void operator()(zip_file_t* file) const noexcept { zip_fclose(file); }
};
using ZipFileHandle = std::unique_ptr<zip_file_t, ZipFileClose>;

// A zip_error_t filled by one libzip call and released with it.
class OwnedZipError {
public:
    OwnedZipError() noexcept { zip_error_init(&error_); }
    OwnedZipError(const OwnedZipError&) = delete;
    OwnedZipError& operator=(const OwnedZipError&) = delete;
    ~OwnedZipError() { zip_error_fini(&error_); }
    zip_error_t* get() noexcept { return &error_; }

private:
    zip_error_t error_;
};

// libzip's description of an error. libzip appends strerror(3), which follows the process locale;
// details stay English, so that part is replaced by the locale-independent description.
std::string describe(zip_error_t* error) {
    std::string text = zip_error_strerror(error);
    if (zip_error_system_type(error) == ZIP_ET_SYS) {
        const int code = zip_error_code_system(error);
        const std::string localized = std::string(": ") + std::strerror(code);
        const char* english = strerrordesc_np(code);
        if (english != nullptr && text.size() >= localized.size() &&
            text.compare(text.size() - localized.size(), localized.size(), localized) == 0) {
            text.resize(text.size() - localized.size());
            text += ": ";
            text += english;
        }
    }
    return text;
}

[[noreturn]] void throwLibraryError(zip_error_t* error) {
    throw ArchivePipelineError::invalidArchive("zip library: " + describe(error));
}

// The archive's own error slot is cleared once read, so a later failure is never reported with
// an earlier one's text.
[[noreturn]] void throwArchiveError(zip_t* archive) {
    std::string text = describe(zip_get_error(archive));
    zip_error_clear(archive);
    throw ArchivePipelineError::invalidArchive("zip library: " + text);
}

[[noreturn]] void invalid(const std::string& detail) {
    throw ArchivePipelineError::invalidArchive(detail);
}

// The DOS fields as UTC. timegm normalises out-of-range fields into some other moment; such
// fields name no moment at all and stay absent.
std::optional<std::int64_t> dosSeconds(std::uint16_t time, std::uint16_t date) {
    std::tm fields{};
    fields.tm_year = 80 + (date >> 9);
    fields.tm_mon = ((date >> 5) & 0x0F) - 1;
    fields.tm_mday = date & 0x1F;
    fields.tm_hour = time >> 11;
    fields.tm_min = (time >> 5) & 0x3F;
    fields.tm_sec = (time & 0x1F) * 2;
    if (fields.tm_mon < 0 || fields.tm_mon > 11 || fields.tm_mday < 1 || fields.tm_hour > 23 ||
        fields.tm_min > 59 || fields.tm_sec > 59) {
        return std::nullopt;
    }
    std::tm normalised = fields;
    const std::time_t seconds = timegm(&normalised);
    if (normalised.tm_mday != fields.tm_mday || normalised.tm_mon != fields.tm_mon) {
        return std::nullopt;  // 31 February and the like
    }
    return static_cast<std::int64_t>(seconds);
}

// A folder is marked by a trailing slash, a Unix mode, or the MS-DOS attribute, whichever system
// made the record: each is how some reader tells folders, and a folder holds no data for any.
ZipArchiveEntry::Type entryType(std::string_view name, std::uint32_t externalAttributes) {
    const auto format = static_cast<mode_t>(externalAttributes >> 16) & S_IFMT;
    if (format == S_IFLNK) {
        return ZipArchiveEntry::Type::symbolicLink;
    }
    if (format == S_IFDIR || (externalAttributes & ZipFormat::msdosDirectoryAttribute) != 0 ||
        (!name.empty() && name.back() == '/')) {
        return ZipArchiveEntry::Type::directory;
    }
    return ZipArchiveEntry::Type::file;
}

[[noreturn]] void throwLibraryCode(int code) {
    OwnedZipError error;
    zip_error_init_with_code(error.get(), code);
    throwLibraryError(error.get());
}

std::string entryNumber(std::uint64_t index) {
    return std::to_string(index + 1);
}

// Inflates the raw deflate data of an entry with a data descriptor as libzip hands it over. A
// reader that streams the archive knows where such an entry ends only from its data, so the
// stream must end exactly where the compressed data does: bytes behind its end would be taken for
// further entries, and a stream running on would swallow the descriptor and what follows.
class DescribedDeflate {
public:
    DescribedDeflate(zip_file_t* file, std::uint64_t index, std::vector<std::uint8_t>& input)
        : file_(file), index_(index), input_(input) {
        if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) {
            throw std::bad_alloc();
        }
    }
    DescribedDeflate(const DescribedDeflate&) = delete;
    DescribedDeflate& operator=(const DescribedDeflate&) = delete;
    ~DescribedDeflate() { inflateEnd(&stream_); }

    // Fills out with inflated bytes; returns how many, 0 once the stream has ended.
    std::size_t read(std::span<std::uint8_t> out) {
        stream_.next_out = out.data();
        stream_.avail_out = static_cast<uInt>(out.size());
        while (!ended_ && stream_.avail_out == out.size()) {
            if (stream_.avail_in == 0 && fill() == 0) {
                if (stream_.total_in == 0) {
                    break;  // no data at all, which libzip reads as an empty entry too
                }
                invalid("deflate stream runs past its entry: entry " + entryNumber(index_));
            }
            const int result = inflate(&stream_, Z_NO_FLUSH);
            if (result == Z_STREAM_END) {
                ended_ = true;
                if (stream_.avail_in != 0 || fill() != 0) {
                    invalid("deflate stream ends before its entry: entry " + entryNumber(index_));
                }
            } else if (result == Z_MEM_ERROR) {
                throw std::bad_alloc();
            } else if (result != Z_OK) {
                throwLibraryCode(ZIP_ER_COMPRESSED_DATA);
            }
        }
        return out.size() - stream_.avail_out;
    }

private:
    // Reads the next compressed bytes; returns how many, 0 at the end of the entry's data.
    std::size_t fill() {
        const zip_int64_t got = zip_fread(file_, input_.data(), input_.size());
        if (got < 0) {
            throwLibraryError(zip_file_get_error(file_));
        }
        stream_.next_in = input_.data();
        stream_.avail_in = static_cast<uInt>(got);
        return static_cast<std::size_t>(got);
    }

    zip_file_t* file_;
    std::uint64_t index_;
    std::vector<std::uint8_t>& input_;
    z_stream stream_{};
    bool ended_ = false;
};

// Looks through the data of a stored entry with a data descriptor for what a reader that streams
// the archive takes for the descriptor, and so for the entry's end: the descriptor's signature
// followed by a CRC-32 and a compressed size, of 4 bytes or of 8, equal to the signature's own
// offset in the data. Blocks come in order; the last bytes of each, too few for a whole
// descriptor, are kept for the next.
class StoredDescriptorSearch {
public:
    explicit StoredDescriptorSearch(std::uint64_t index) : index_(index) {}

    void add(std::span<const std::uint8_t> block) {
        if (block.size() < wideLength) {
            tail_.insert(tail_.end(), block.begin(), block.end());
            search(tail_.data(), tail_.size(), tail_.size(), wideLength);
            const std::size_t drop = tail_.size() - std::min(tail_.size(), wideLength - 1);
            start_ += drop;
            tail_.erase(tail_.begin(), tail_.begin() + static_cast<std::ptrdiff_t>(drop));
            return;
        }
        std::array<std::uint8_t, 2 * (wideLength - 1)> window{};
        std::copy(tail_.begin(), tail_.end(), window.begin());
        std::copy_n(block.begin(), wideLength - 1, window.begin() + tail_.size());
        search(window.data(), tail_.size() + wideLength - 1, tail_.size(), wideLength);
        start_ += tail_.size();
        search(block.data(), block.size(), block.size(), wideLength);
        tail_.assign(block.end() - (wideLength - 1), block.end());
        start_ += block.size() - (wideLength - 1);
    }

    // After the last block: a signature too close to the end for 8-byte sizes.
    void finish() { search(tail_.data(), tail_.size(), tail_.size(), narrowLength); }

private:
    static constexpr std::size_t narrowLength = 12;  // signature, CRC-32, 4-byte compressed size
    static constexpr std::size_t wideLength = 16;    // the same with an 8-byte size

    // The signatures at the first `count` positions of bytes, which begin at start_ in the data,
    // with at least `room` bytes from their start.
    void search(const std::uint8_t* bytes, std::size_t size, std::size_t count,
                std::size_t room) const {
        for (std::size_t at = 0; at < count && size - at >= room; ++at) {
            const std::uint8_t* p = bytes + at;
            if (p[0] != 'P' || ZipFormat::get32(p) != ZipFormat::dataDescriptorSignature) {
                continue;
            }
            const std::uint64_t offset = start_ + at;
            if (ZipFormat::get32(p + 8) == offset ||
                (size - at >= wideLength && ZipFormat::get64(p + 8) == offset)) {
                invalid("stored data holds its own data descriptor: entry " + entryNumber(index_));
            }
        }
    }

    std::uint64_t index_;
    std::vector<std::uint8_t> tail_;  // fewer than wideLength bytes between calls
    std::uint64_t start_ = 0;         // offset in the data of tail_[0]
};

std::string mismatch(std::string_view what, std::uint64_t index) {
    return "central directory " + std::string(what) + " mismatch: entry " +
           std::to_string(index + 1);
}

// libzip reads the inspected descriptor through this source, by positioned reads only, so the
// descriptor's offset stays the caller's. Once armed it keeps where libzip first seeks: opening
// an entry seeks to the entry's local header before anything else. While libzip looks for the
// end record, everything before a given offset reads as zeros (see openLibrary).
class ArchiveSource {
public:
    ArchiveSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
    ArchiveSource(const ArchiveSource&) = delete;
    ArchiveSource& operator=(const ArchiveSource&) = delete;

    void arm() {
        armed_ = true;
        firstSeek_.reset();
    }
    std::optional<std::uint64_t> disarm() {
        armed_ = false;
        return firstSeek_;
    }
    void hideBefore(std::uint64_t offset) noexcept { hiddenEnd_ = offset; }
    // Offsets, ascending, whose byte reads as zero.
    void hideBytes(std::vector<std::uint64_t> offsets) noexcept {
        hiddenBytes_ = std::move(offsets);
    }

    static zip_int64_t callback(void* state, void* data, zip_uint64_t length,
                                zip_source_cmd_t command) {
        return static_cast<ArchiveSource*>(state)->handle(data, length, command);
    }

private:
    zip_int64_t handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
        switch (command) {
            case ZIP_SOURCE_OPEN:
                position_ = 0;
                return 0;
            case ZIP_SOURCE_READ:
                return read(data, length);
            case ZIP_SOURCE_CLOSE:
            case ZIP_SOURCE_FREE:
                return 0;
            case ZIP_SOURCE_STAT: {
                auto* stat = static_cast<zip_stat_t*>(data);
                zip_stat_init(stat);
                stat->size = size_;
                stat->valid |= ZIP_STAT_SIZE;
                return sizeof(zip_stat_t);
            }
            case ZIP_SOURCE_ERROR:
                return zip_error_to_data(error_.get(), data, length);
            case ZIP_SOURCE_SEEK: {
                const zip_int64_t target =
                    zip_source_seek_compute_offset(position_, size_, data, length, error_.get());
                if (target < 0) {
                    return -1;
                }
                position_ = static_cast<std::uint64_t>(target);
                if (armed_ && !firstSeek_) {
                    firstSeek_ = position_;
                }
                return 0;
            }
            case ZIP_SOURCE_TELL:
                return static_cast<zip_int64_t>(position_);
            case ZIP_SOURCE_SUPPORTS:
                return ZIP_SOURCE_SUPPORTS_SEEKABLE;
            default:
                zip_error_set(error_.get(), ZIP_ER_OPNOTSUPP, 0);
                return -1;
        }
    }

    // libzip reads an entry as a few small reads (the local header, its lengths, then the data),
    // and entries lie one after another: small reads are served from one window of the file, so
    // a run of small entries costs one pread per window instead of several per entry.
    zip_int64_t read(void* data, zip_uint64_t length) {
        const std::uint64_t left = size_ - std::min(position_, size_);
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(length, left));
        try {
            std::size_t got = 0;
            if (count >= windowBytes) {
                got = posix::preadAll(fd_, data, count, static_cast<off_t>(position_));
            } else {
                if (position_ < windowStart_ || position_ + count > windowStart_ + window_.size()) {
                    window_.resize(windowBytes);
                    window_.resize(posix::preadAll(
                        fd_, window_.data(),
                        static_cast<std::size_t>(std::min<std::uint64_t>(windowBytes, left)),
                        static_cast<off_t>(position_)));
                    windowStart_ = position_;
                }
                got = std::min(count,
                               static_cast<std::size_t>(windowStart_ + window_.size() - position_));
                std::memcpy(data, window_.data() + (position_ - windowStart_), got);
            }
            if (position_ < hiddenEnd_) {
                std::memset(
                    data, 0,
                    static_cast<std::size_t>(std::min<std::uint64_t>(got, hiddenEnd_ - position_)));
            }
            for (auto hidden =
                     std::lower_bound(hiddenBytes_.begin(), hiddenBytes_.end(), position_);
                 hidden != hiddenBytes_.end() && *hidden - position_ < got; ++hidden) {
                static_cast<unsigned char*>(data)[*hidden - position_] = 0;
            }
            position_ += got;
            return static_cast<zip_int64_t>(got);
        } catch (const std::system_error& failure) {
            zip_error_set(error_.get(), ZIP_ER_READ, failure.code().value());
            return -1;
        }
    }

    static constexpr std::size_t windowBytes = 65536;

    int fd_;
    std::uint64_t size_;
    std::uint64_t position_ = 0;
    std::vector<std::uint8_t> window_;
    std::uint64_t windowStart_ = 0;
    bool armed_ = false;
    std::optional<std::uint64_t> firstSeek_;
    std::uint64_t hiddenEnd_ = 0;
    std::vector<std::uint64_t> hiddenBytes_;
    OwnedZipError error_;
};

// Everything a caller of the inspector may have acted on, byte for byte, so two walks can show
// they read one directory without keeping it.
void digestRecord(Sha256& digest, const ZipCentralEntry& entry) {
    digest.update(entry.centralRecord);
    digest.update(entry.name);
    digest.update(entry.extraField);
}

// What libzip reads from a central record must be what the inspector decoded from it: the
// data libzip extracts is found and checked by these values alone.
void requireSameEntry(zip_t* archive, const ZipCentralEntry& entry) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, entry.index, ZIP_FL_ENC_RAW, &stat) != 0) {
        throwArchiveError(archive);
    }
    constexpr zip_uint64_t required = ZIP_STAT_NAME | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE |
                                      ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD |
                                      ZIP_STAT_ENCRYPTION_METHOD;
    if ((stat.valid & required) != required) {
        invalid("zip library: incomplete entry information");
    }
    // A name holding NUL ends early on libzip's side and differs here too.
    if (std::string_view(stat.name) != ZipEntryName::storedName(entry.name, entry.extraField)) {
        invalid(mismatch("name", entry.index));
    }
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, entry.index, 0, &system, &attributes) != 0) {
        throwArchiveError(archive);
    }
    if (stat.comp_method != entry.method || stat.encryption_method != ZIP_EM_NONE ||
        stat.size != entry.uncompressedSize || stat.comp_size != entry.compressedSize ||
        stat.crc != entry.crc32 || attributes != entry.externalAttributes) {
        invalid(mismatch("entry", entry.index));
    }
}

}  // namespace

struct ZipArchiveReader::Library {
    explicit Library(int fd, std::uint64_t size) : source(fd, size) {}
    // Declared first, so it outlives the archive that reads through it.
    ArchiveSource source;
    std::unique_ptr<zip_t, ZipDiscard> archive;
};

namespace {

// libzip searches the file's last bytes, room for the longest comment and the ZIP64 locator, for
// end records.
constexpr std::uint64_t librarySearchWindow =
    65535 + ZipFormat::endOfCentralDirectorySize + ZipFormat::zip64EndLocatorSize;

// Where the entry's central extra field holds an end-record signature in libzip's search window,
// appended in ascending order. The inspector has found each to be part of the field (an
// attribute's value may be an empty ZIP); there are at most a quarter as many as the window's
// bytes.
void findEndSignaturesInExtraField(const ZipCentralEntry& entry, std::uint64_t windowStart,
                                   std::vector<std::uint64_t>& found) {
    const std::uint64_t fieldStart =
        entry.recordOffset + ZipFormat::centralHeaderSize + entry.name.size();
    const std::string_view field = entry.extraField;
    if (fieldStart + field.size() <= windowStart) {
        return;
    }
    constexpr std::string_view signature("PK\5\6", 4);
    for (std::size_t at = field.find(signature); at != std::string_view::npos;
         at = field.find(signature, at + 1)) {
        if (fieldStart + at >= windowStart) {
            found.push_back(fieldStart + at);
        }
    }
}

// libzip takes the first end record in the file's last 64 KiB whose directory it can read, not
// the last one: a ZIP stored near the end of the archive would offer it its own. While it opens
// the archive it sees zeros before the directory the inspector read, so no entry's data can offer
// it one, and the signatures that extra fields hold are broken; any other record it could use
// lies in the stretch the inspector has judged and refused. Nothing before that directory belongs
// to libzip's reading of the directory, and entries are read after the bytes are shown again.
std::unique_ptr<zip_t, ZipDiscard> openLibrary(ArchiveSource& state,
                                               const ZipCentralDirectory& directory,
                                               std::vector<std::uint64_t> extraSignatures) {
    state.hideBefore(directory.offset);
    state.hideBytes(std::move(extraSignatures));
    OwnedZipError error;
    zip_source_t* source =
        zip_source_function_create(&ArchiveSource::callback, &state, error.get());
    if (source == nullptr) {
        throwLibraryError(error.get());
    }
    // Without ZIP_CHECKCONS: libzip's stricter check refuses the ZIP64 local block that large
    // entries carry before their sizes are known. The inspector has already applied the checks
    // that matter, libzip still checks every entry's data against its CRC-32, and callers count
    // its length.
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, error.get());
    state.hideBefore(0);
    state.hideBytes({});
    if (archive == nullptr) {
        zip_source_free(source);
        throwLibraryError(error.get());
    }
    return std::unique_ptr<zip_t, ZipDiscard>(archive);
}

}  // namespace

ZipArchiveReader::ZipArchiveReader(const std::string& path, const CheckCancelled& checkCancelled,
                                   const ZipCentralDirectoryInspector::OnEntry& onEntry) {
    // O_NONBLOCK keeps a FIFO in the archive's place from blocking the open; it is refused below,
    // and reads of a regular file ignore the flag.
    fd_ = posix::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const struct stat status = posix::fstat(fd_.get());
    if (S_ISDIR(status.st_mode)) {
        posix::throwErrno(EISDIR, "ZIP archive is a directory");
    }
    if (!S_ISREG(status.st_mode)) {
        posix::throwErrno(EINVAL, "ZIP archive is not a regular file");
    }

    // The inspector's pass comes first: libzip reads nothing the inspector has not passed, so an
    // archive announcing millions of records is refused before anything is allocated for them.
    std::vector<CentralFacts> facts;
    Sha256 inspected;
    const auto size = static_cast<std::uint64_t>(status.st_size);
    const std::uint64_t windowStart = size - std::min(size, librarySearchWindow);
    std::vector<std::uint64_t> extraSignatures;
    const ZipCentralDirectory directory =
        ZipCentralDirectoryInspector::inspect(fd_.get(), checkCancelled, [&](const auto& entry) {
            if (onEntry) {
                onEntry(entry);
            }
            facts.push_back({entry.path, entry.dosTime, entry.dosDate, entry.localHeaderOffset,
                             entry.crc32, entry.flags, entry.method});
            digestRecord(inspected, entry);
            findEndSignaturesInExtraField(entry, windowStart, extraSignatures);
        });
    facts.shrink_to_fit();

    library_ = std::make_unique<Library>(fd_.get(), size);
    library_->archive = openLibrary(library_->source, directory, std::move(extraSignatures));
    zip_t* archive = library_->archive.get();
    const std::uint64_t count = directory.entryCount;

    const zip_int64_t libraryCount = zip_get_num_entries(archive, 0);
    if (libraryCount < 0 || static_cast<std::uint64_t>(libraryCount) != count) {
        invalid("central directory count mismatch");
    }
    // A second walk holds libzip's reading of every record to the records as they are now, and
    // those records to the first walk's, so what the caller saw, what libzip read and what the
    // reader reports are one and the same directory.
    Sha256 compared;
    const ZipCentralDirectory again =
        ZipCentralDirectoryInspector::inspect(fd_.get(), checkCancelled, [&](const auto& entry) {
            if (entry.index >= count) {
                invalid("central directory changed while reading");
            }
            requireSameEntry(archive, entry);
            digestRecord(compared, entry);
        });
    if (again != directory || compared.finish() != inspected.finish()) {
        invalid("central directory changed while reading");
    }
    facts_ = std::move(facts);
}

ZipArchiveReader::ZipArchiveReader(ZipArchiveReader&&) noexcept = default;
ZipArchiveReader& ZipArchiveReader::operator=(ZipArchiveReader&&) noexcept = default;
ZipArchiveReader::~ZipArchiveReader() = default;

ZipArchiveEntry ZipArchiveReader::entry(std::uint64_t index) const {
    if (index >= facts_.size()) {
        throw std::out_of_range("ZIP entry index out of range");
    }
    zip_t* archive = library_->archive.get();
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &stat) != 0) {
        throwArchiveError(archive);
    }
    constexpr zip_uint64_t required =
        ZIP_STAT_NAME | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD;
    if ((stat.valid & required) != required) {
        invalid("zip library: incomplete entry information");
    }
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0) {
        throwArchiveError(archive);
    }

    const CentralFacts& facts = facts_[index];
    ZipArchiveEntry result;
    result.index = index;
    result.path = facts.path;
    result.type = entryType(result.path, attributes);
    result.method = stat.comp_method;
    result.compressedSize = stat.comp_size;
    result.uncompressedSize = stat.size;
    result.crc32 = stat.crc;
    const auto mode = static_cast<std::uint16_t>(attributes >> 16);
    if (mode != 0) {
        result.posixPermissions = static_cast<std::uint16_t>(mode & 07777);
    }
    result.modificationSeconds = dosSeconds(facts.dosTime, facts.dosDate);
    return result;
}

std::uint32_t ZipArchiveReader::extract(std::uint64_t index, const CheckCancelled& checkCancelled,
                                        const Consumer& consume) {
    if (index >= facts_.size()) {
        throw std::out_of_range("ZIP entry index out of range");
    }
    zip_t* archive = library_->archive.get();
    const CentralFacts& facts = facts_[index];
    const bool described = (facts.flags & ZipFormat::flagDataDescriptor) != 0;
    // Flags 0: uncompressed data, with libzip's CRC-32 and length check at the end of the entry.
    // A deflated entry with a descriptor is inflated here instead, to hold its stream to its end.
    const bool inflateHere = described && facts.method == ZipFormat::methodDeflate;
    library_->source.arm();
    const ZipFileHandle file(zip_fopen_index(archive, index, inflateHere ? ZIP_FL_COMPRESSED : 0));
    const std::optional<std::uint64_t> localHeader = library_->source.disarm();
    if (!file) {
        throwArchiveError(archive);
    }
    // libzip reads nothing for an entry without data; any other entry is read from the local
    // header the inspector's checks were applied to, or not at all.
    if (localHeader && *localHeader != facts.localHeaderOffset) {
        invalid(mismatch("local header offset", index));
    }
    if (buffer_.empty()) {
        buffer_.resize(bufferSize);
    }
    std::optional<DescribedDeflate> deflated;
    if (inflateHere) {
        input_.resize(bufferSize);
        deflated.emplace(file.get(), index, input_);
    }
    std::optional<StoredDescriptorSearch> stored;
    if (described && facts.method == ZipFormat::methodStored) {
        stored.emplace(index);
    }
    uLong crc = crc32_z(0, Z_NULL, 0);
    for (;;) {
        if (checkCancelled) {
            checkCancelled();
        }
        std::size_t size = 0;
        if (deflated) {
            size = deflated->read(buffer_);
        } else {
            const zip_int64_t got = zip_fread(file.get(), buffer_.data(), buffer_.size());
            if (got < 0) {
                throwLibraryError(zip_file_get_error(file.get()));
            }
            size = static_cast<std::size_t>(got);
        }
        if (size == 0) {
            break;
        }
        const std::span<const std::uint8_t> block(buffer_.data(), size);
        crc = crc32_z(crc, block.data(), size);
        if (stored) {
            stored->add(block);
        }
        consume(block);
    }
    if (stored) {
        stored->finish();
    }
    // libzip checks what it inflates itself.
    if (deflated && crc != facts.crc32) {
        throwLibraryCode(ZIP_ER_CRC);
    }
    return static_cast<std::uint32_t>(crc);
}

}  // namespace tolvane
