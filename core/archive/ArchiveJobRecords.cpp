#include "core/archive/ArchiveJobRecords.h"

#include <cstdint>
#include <optional>
#include <string>

#include "core/common/StrictJson.h"
#include "core/common/Unicode.h"

namespace tolvane {

using StrictJson::ObjectReader;
using StrictJson::OrderedValue;

std::string SourceSnapshotRecord::encode() const {
    OrderedValue out;
    out["sourcePath"] = sourcePath;
    out["originalPath"] = originalPath;
    out["entryPath"] = entryPath;
    out["isDirectory"] = isDirectory;
    out["size"] = size;
    out["device"] = device;
    out["inode"] = inode;
    out["modifiedSeconds"] = modifiedSeconds;
    out["modifiedNanoseconds"] = modifiedNanoseconds;
    out["changedSeconds"] = changedSeconds;
    out["changedNanoseconds"] = changedNanoseconds;
    out["permissions"] = permissions;
    if (contentSHA256) {
        out["contentSHA256"] = *contentSHA256;
    }
    return StrictJson::encode(out);
}

SourceSnapshotRecord SourceSnapshotRecord::decode(const StrictJson::Value& object) {
    const ObjectReader in(object);
    SourceSnapshotRecord record;
    record.sourcePath = in.text("sourcePath");
    record.originalPath = in.text("originalPath");
    record.entryPath = in.text("entryPath");
    record.isDirectory = in.flag("isDirectory");
    record.size = in.integer<std::uint64_t>("size");
    record.device = in.integer<std::uint64_t>("device");
    record.inode = in.integer<std::uint64_t>("inode");
    record.modifiedSeconds = in.integer<std::int64_t>("modifiedSeconds");
    record.modifiedNanoseconds = in.integer<std::int64_t>("modifiedNanoseconds");
    record.changedSeconds = in.integer<std::int64_t>("changedSeconds");
    record.changedNanoseconds = in.integer<std::int64_t>("changedNanoseconds");
    record.permissions = in.integer<std::uint16_t>("permissions");
    record.contentSHA256 = in.optionalText("contentSHA256");
    return record;
}

std::string ExpectedArchiveRecord::encode() const {
    OrderedValue out;
    out["path"] = path;
    out["size"] = size;
    out["sha256"] = sha256;
    return StrictJson::encode(out);
}

ExpectedArchiveRecord ExpectedArchiveRecord::decode(const StrictJson::Value& object) {
    const ObjectReader in(object);
    ExpectedArchiveRecord record;
    record.path = in.text("path");
    record.size = in.integer<std::uint64_t>("size");
    record.sha256 = in.text("sha256");
    return record;
}

std::string PathMappingHeader::encode() const {
    OrderedValue out;
    out["version"] = version;
    out["sourceEntryCount"] = sourceEntryCount;
    out["mappingCount"] = mappingCount;
    return StrictJson::encode(out);
}

PathMappingHeader PathMappingHeader::decode(const StrictJson::Value& object) {
    const ObjectReader in(object);
    PathMappingHeader record;
    record.version = in.integer<std::int64_t>("version");
    record.sourceEntryCount = in.integer<std::uint64_t>("sourceEntryCount");
    record.mappingCount = in.integer<std::uint64_t>("mappingCount");
    return record;
}

std::string PathMappingRecord::encode() const {
    OrderedValue out;
    out["ordinal"] = ordinal;
    out["originalPath"] = originalPath;
    out["archivePath"] = archivePath;
    out["entryType"] = entryType;
    out["size"] = size;
    out["sha256"] = sha256;
    return StrictJson::encode(out);
}

PathMappingRecord PathMappingRecord::decode(const StrictJson::Value& object) {
    const ObjectReader in(object);
    PathMappingRecord record;
    record.ordinal = in.integer<std::uint64_t>("ordinal");
    record.originalPath = in.text("originalPath");
    record.archivePath = in.text("archivePath");
    record.entryType = in.text("entryType");
    record.size = in.integer<std::uint64_t>("size");
    record.sha256 = in.text("sha256");
    return record;
}

std::string PreflightArchiveRecord::encode() const {
    OrderedValue out;
    out["ordinal"] = ordinal;
    out["archivePath"] = archivePath;
    out["restoredPath"] = restoredPath;
    out["entryType"] = entryType;
    out["size"] = size;
    return StrictJson::encode(out);
}

PreflightArchiveRecord PreflightArchiveRecord::decode(const StrictJson::Value& object) {
    const ObjectReader in(object);
    PreflightArchiveRecord record;
    record.ordinal = in.integer<std::uint64_t>("ordinal");
    record.archivePath = in.text("archivePath");
    record.restoredPath = in.text("restoredPath");
    record.entryType = in.text("entryType");
    record.size = in.integer<std::uint64_t>("size");
    return record;
}

std::string PathMappingReceiptHeader::encode() const {
    OrderedValue out;
    out["version"] = version;
    // The archive's own file name is bytes chosen by whoever saved it; the receipt shows it as
    // the output folder's name does.
    out["archiveName"] = Unicode::replacingIllFormed(archiveName);
    out["mappingCount"] = mappingCount;
    out["mappingSource"] = mappingSource;
    return StrictJson::encode(out);
}

PathMappingReceiptHeader PathMappingReceiptHeader::decode(const StrictJson::Value& object) {
    const ObjectReader in(object);
    PathMappingReceiptHeader record;
    record.version = in.integer<std::int64_t>("version");
    record.archiveName = in.text("archiveName");
    record.mappingCount = in.integer<std::uint64_t>("mappingCount");
    record.mappingSource = in.text("mappingSource");
    return record;
}

std::string PathMappingReceiptRecord::encode() const {
    OrderedValue out;
    out["originalPath"] = originalPath;
    out["archivePath"] = archivePath;
    out["restoredPath"] = restoredPath;
    out["entryType"] = entryType;
    out["size"] = size;
    out["sha256"] = sha256;
    return StrictJson::encode(out);
}

PathMappingReceiptRecord PathMappingReceiptRecord::decode(const StrictJson::Value& object) {
    const ObjectReader in(object);
    PathMappingReceiptRecord record;
    record.originalPath = in.text("originalPath");
    record.archivePath = in.text("archivePath");
    record.restoredPath = in.text("restoredPath");
    record.entryType = in.text("entryType");
    record.size = in.integer<std::uint64_t>("size");
    record.sha256 = in.text("sha256");
    return record;
}

}  // namespace tolvane
