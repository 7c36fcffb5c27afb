#include "core/archive/ZipArchiveReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <zip.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ZipEntryName.h"
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
struct StreamClose {
    void operator()(std::FILE* stream) const noexcept { std::fclose(stream); }
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

ZipArchiveEntry::Type entryType(std::string_view rawName, std::uint32_t externalAttributes) {
    const auto format = static_cast<mode_t>(externalAttributes >> 16) & S_IFMT;
    if (format == S_IFLNK) {
        return ZipArchiveEntry::Type::symbolicLink;
    }
    if (format == S_IFDIR || (!rawName.empty() && rawName.back() == '/')) {
        return ZipArchiveEntry::Type::directory;
    }
    return ZipArchiveEntry::Type::file;
}

std::string nameMismatch(std::uint64_t index) {
    return "central directory name mismatch: entry " + std::to_string(index + 1);
}

}  // namespace

struct ZipArchiveReader::Library {
    std::unique_ptr<zip_t, ZipDiscard> archive;
};

namespace {

// libzip reads through a stream of its own on a duplicate of the inspected descriptor: the same
// open file, never the path again. The duplicate is close-on-exec like every descriptor here.
std::unique_ptr<zip_t, ZipDiscard> openLibrary(int fd) {
    UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copy) {
        posix::throwLastError("duplicate ZIP archive descriptor");
    }
    std::unique_ptr<std::FILE, StreamClose> stream(::fdopen(copy.get(), "rb"));
    if (!stream) {
        posix::throwLastError("open ZIP archive stream");
    }
    copy.release();  // the stream closes it now

    OwnedZipError error;
    zip_source_t* source = zip_source_filep_create(stream.get(), 0, -1, error.get());
    if (source == nullptr) {
        throwLibraryError(error.get());
    }
    stream.release();  // the source closes it now
    // Without ZIP_CHECKCONS: libzip's stricter check refuses the ZIP64 local block that large
    // entries carry before their sizes are known. The inspector has already applied the checks
    // that matter, libzip still checks every entry's data against its CRC-32, and callers count
    // its length.
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, error.get());
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

    const auto factsOf = [](const ZipCentralEntry& entry) {
        return CentralFacts{entry.flags, entry.dosTime, entry.dosDate};
    };

    // The inspector's pass comes first: libzip reads nothing the inspector has not passed, so an
    // archive announcing millions of records is refused before anything is allocated for them.
    std::vector<CentralFacts> facts;
    const std::uint64_t count =
        ZipCentralDirectoryInspector::entryCount(fd_.get(), checkCancelled, [&](const auto& entry) {
            if (onEntry) {
                onEntry(entry);
            }
            // libzip refuses some ill-formed names only as an inconsistent archive; the decoder
            // says what is wrong.
            ZipEntryName::decode(entry.name, entry.flags);
            facts.push_back(factsOf(entry));
        });
    facts.shrink_to_fit();

    library_ = std::make_unique<Library>(Library{openLibrary(fd_.get())});
    zip_t* archive = library_->archive.get();

    const zip_int64_t libraryCount = zip_get_num_entries(archive, 0);
    if (libraryCount < 0 || static_cast<std::uint64_t>(libraryCount) != count) {
        invalid("central directory count mismatch");
    }
    // A second walk compares libzip's names with the records as they are now, and those records
    // with the first walk's, so what the caller saw, what libzip read and what the reader reports
    // are one and the same directory.
    std::uint64_t index = 0;
    const std::uint64_t recount =
        ZipCentralDirectoryInspector::entryCount(fd_.get(), checkCancelled, [&](const auto& entry) {
            if (index >= count || factsOf(entry) != facts[index]) {
                invalid("central directory changed while reading");
            }
            const char* name = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
            if (name == nullptr) {
                throwArchiveError(archive);
            }
            // A name holding NUL ends early on libzip's side and differs here too.
            if (std::string_view(name) != entry.name) {
                invalid(nameMismatch(index));
            }
            ++index;
        });
    if (recount != count) {
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
    const std::string_view rawName(stat.name);
    ZipArchiveEntry result;
    result.index = index;
    result.path = ZipEntryName::decode(rawName, facts.flags);
    result.type = entryType(rawName, attributes);
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
    // Flags 0: uncompressed data, with libzip's CRC-32 and length check at the end of the entry.
    const ZipFileHandle file(zip_fopen_index(archive, index, 0));
    if (!file) {
        throwArchiveError(archive);
    }
    if (buffer_.empty()) {
        buffer_.resize(bufferSize);
    }
    uLong crc = crc32_z(0, Z_NULL, 0);
    for (;;) {
        if (checkCancelled) {
            checkCancelled();
        }
        const zip_int64_t got = zip_fread(file.get(), buffer_.data(), buffer_.size());
        if (got < 0) {
            throwLibraryError(zip_file_get_error(file.get()));
        }
        if (got == 0) {
            break;
        }
        const auto size = static_cast<std::size_t>(got);
        crc = crc32_z(crc, buffer_.data(), size);
        consume(std::span<const std::uint8_t>(buffer_.data(), size));
    }
    return static_cast<std::uint32_t>(crc);
}

}  // namespace tolvane
