#include "core/archive/ArchiveJobRecords.h"

#include <cstdint>
#include <optional>
#include <string>

#include "core/common/StrictJson.h"
#include "core/common/Unicode.h"

namespace tolvane {

using StrictJson::ObjectReader;

std::string SourceSnapshotRecord::encode() const {
    StrictJson::ObjectWriter out;
    out.text("sourcePath", sourcePath)
        .text("originalPath", originalPath)
        .text("entryPath", entryPath)
        .flag("isDirectory", isDirectory)
        .integer("size", size)
        .integer("device", device)
        .integer("inode", inode)
        .integer("modifiedSeconds", modifiedSeconds)
        .integer("modifiedNanoseconds", modifiedNanoseconds)
        .integer("changedSeconds", changedSeconds)
        .integer("changedNanoseconds", changedNanoseconds)
        .integer("permissions", permissions);
    if (contentSHA256) {
        out.text("contentSHA256", *contentSHA256);
    }
    return out.finish();
}

SourceSnapshotRecord SourceSnapshotRecord::decode(const ObjectReader& in) {
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
    return StrictJson::ObjectWriter()
        .text("path", path)
        .integer("size", size)
        .text("sha256", sha256)
        .finish();
}

ExpectedArchiveRecord ExpectedArchiveRecord::decode(const ObjectReader& in) {
    ExpectedArchiveRecord record;
    record.path = in.text("path");
    record.size = in.integer<std::uint64_t>("size");
    record.sha256 = in.text("sha256");
    return record;
}

std::string PathMappingHeader::encode() const {
    return StrictJson::ObjectWriter()
        .integer("version", version)
        .integer("sourceEntryCount", sourceEntryCount)
        .integer("mappingCount", mappingCount)
        .finish();
}

PathMappingHeader PathMappingHeader::decode(const ObjectReader& in) {
    PathMappingHeader record;
    record.version = in.integer<std::int64_t>("version");
    record.sourceEntryCount = in.integer<std::uint64_t>("sourceEntryCount");
    record.mappingCount = in.integer<std::uint64_t>("mappingCount");
    return record;
}

std::string PathMappingRecord::encode() const {
    return StrictJson::ObjectWriter()
        .integer("ordinal", ordinal)
        .text("originalPath", originalPath)
        .text("archivePath", archivePath)
        .text("entryType", entryType)
        .integer("size", size)
        .text("sha256", sha256)
        .finish();
}

PathMappingRecord PathMappingRecord::decode(const ObjectReader& in) {
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
    return StrictJson::ObjectWriter()
        .integer("ordinal", ordinal)
        .text("archivePath", archivePath)
        .text("restoredPath", restoredPath)
        .text("entryType", entryType)
        .integer("size", size)
        .finish();
}

PreflightArchiveRecord PreflightArchiveRecord::decode(const ObjectReader& in) {
    PreflightArchiveRecord record;
    record.ordinal = in.integer<std::uint64_t>("ordinal");
    record.archivePath = in.text("archivePath");
    record.restoredPath = in.text("restoredPath");
    record.entryType = in.text("entryType");
    record.size = in.integer<std::uint64_t>("size");
    return record;
}

std::string PathMappingReceiptHeader::encode() const {
    // The archive's own file name is bytes chosen by whoever saved it; the receipt shows it as
    // the output folder's name does.
    return StrictJson::ObjectWriter()
        .integer("version", version)
        .text("archiveName", Unicode::replacingIllFormed(archiveName))
        .integer("mappingCount", mappingCount)
        .text("mappingSource", mappingSource)
        .finish();
}

PathMappingReceiptHeader PathMappingReceiptHeader::decode(const ObjectReader& in) {
    PathMappingReceiptHeader record;
    record.version = in.integer<std::int64_t>("version");
    record.archiveName = in.text("archiveName");
    record.mappingCount = in.integer<std::uint64_t>("mappingCount");
    record.mappingSource = in.text("mappingSource");
    return record;
}

std::string PathMappingReceiptRecord::encode() const {
    return StrictJson::ObjectWriter()
        .text("originalPath", originalPath)
        .text("archivePath", archivePath)
        .text("restoredPath", restoredPath)
        .text("entryType", entryType)
        .integer("size", size)
        .text("sha256", sha256)
        .finish();
}

PathMappingReceiptRecord PathMappingReceiptRecord::decode(const ObjectReader& in) {
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
