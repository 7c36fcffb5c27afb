// Feeds arbitrary bytes, as an in-memory list file, to the JSON-lines reader and one record
// decoder, and the same rows to the decoders of the stage journal and the Drive transfer journal.
//
// Input: byte 0 picks the decoder; byte 1 asks for that many KiB of blanks, inserted at the
// fraction of the list that byte 2 names, so rows near the reader's bound are reached without
// huge inputs; the rest is the list.
//
// The reader is checked against an independent split of the list at line feeds: it hands out
// exactly those rows in order, fails only on an empty row, an unterminated last row or more
// pending bytes than its bound allows, and a failure is final. Every record decoded is checked
// to encode to one line that decodes back to the same record.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/JSONLines.h"
#include "core/archive/StagingLease.h"
#include "core/common/StrictJson.h"
#include "core/drive/FileDriveTransferJournal.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace tolvane;

// Any JSON object; lets the reader's framing be checked without a record's own rules.
struct AnyObject {
    StrictJson::Value value;

    std::string encode() const { return value.dump(); }
    static AnyObject decode(const StrictJson::Value& object) { return AnyObject{object}; }
    friend bool operator==(const AnyObject&, const AnyObject&) = default;
};

// The rows of the list split at line feeds, and the bytes after the last one.
struct Split {
    std::vector<std::string_view> rows;
    std::vector<std::size_t> offsets;
    std::string_view tail;
};

Split split(std::string_view list) {
    Split result;
    std::size_t start = 0;
    for (std::size_t feed = list.find('\n'); feed != std::string_view::npos;
         feed = list.find('\n', start)) {
        result.rows.push_back(list.substr(start, feed - start));
        result.offsets.push_back(start);
        start = feed + 1;
    }
    result.tail = list.substr(start);
    return result;
}

template <class T>
std::optional<T> decodeRow(std::string_view row) {
    try {
        return T::decode(StrictJson::parseObject(row));
    } catch (const StrictJson::DecodeError&) {
        return std::nullopt;
    } catch (const std::exception& error) {
        FUZZ_UNEXPECTED(error);
    }
}

template <class T>
void checkRoundTrip(const T& record) {
    try {
        const std::string encoded = record.encode();
        FUZZ_REQUIRE(encoded.find('\n') == std::string::npos);
        FUZZ_REQUIRE(T::decode(StrictJson::parseObject(encoded)) == record);
    } catch (const std::exception& error) {
        FUZZ_UNEXPECTED(error);
    }
}

template <class T>
void readList(std::string_view list) {
    const Split model = split(list);
    JSONLines::Reader reader(fuzz::memoryFile(list));
    std::size_t index = 0;
    for (;;) {
        std::optional<T> record;
        try {
            record = reader.next<T>();
        } catch (const StrictJson::DecodeError&) {
            // The row was taken and did not decode: it must be a real row that does not decode.
            FUZZ_REQUIRE(index < model.rows.size() && !model.rows[index].empty());
            FUZZ_REQUIRE(!decodeRow<T>(model.rows[index]));
            ++index;
            continue;
        } catch (const ArchivePipelineError& error) {
            FUZZ_REQUIRE(error.code() == ArchivePipelineError::Code::invalidArchive);
            const std::size_t rowStart =
                index < model.rows.size() ? model.offsets[index] : list.size() - model.tail.size();
            const bool oversized = list.size() - rowStart > JSONLines::maxPendingBytes;
            if (index < model.rows.size()) {
                FUZZ_REQUIRE(model.rows[index].empty() || oversized);
            } else {
                FUZZ_REQUIRE(!model.tail.empty());
            }
            // The failure is final and the same every time.
            try {
                (void)reader.next<T>();
                FUZZ_REQUIRE(!"a failed reader read on");
            } catch (const ArchivePipelineError& again) {
                FUZZ_REQUIRE(again == error);
            }
            return;
        } catch (const std::exception& error) {
            FUZZ_UNEXPECTED(error);
        }
        if (!record) {
            FUZZ_REQUIRE(index == model.rows.size() && model.tail.empty());
            try {
                FUZZ_REQUIRE(!reader.next<T>());
            } catch (const std::exception& error) {
                FUZZ_UNEXPECTED(error);
            }
            return;
        }
        FUZZ_REQUIRE(index < model.rows.size());
        FUZZ_REQUIRE(model.rows[index].size() <= JSONLines::maxPendingBytes);
        const std::optional<T> expected = decodeRow<T>(model.rows[index]);
        FUZZ_REQUIRE(expected && *expected == *record);
        checkRoundTrip(*record);
        ++index;
    }
}

// The journals are read from whole files, one object each; every row stands in for one.
void decodeJournals(std::string_view list) {
    for (const std::string_view row : split(list).rows) {
        try {
            const ArchivePipeline::StageJournal journal = ArchivePipeline::decodeStageJournal(row);
            FUZZ_REQUIRE(ArchivePipeline::decodeStageJournal(
                             ArchivePipeline::encodeStageJournal(journal)) == journal);
        } catch (const StrictJson::DecodeError&) {
        } catch (const std::exception& error) {
            FUZZ_UNEXPECTED(error);
        }
        try {
            const DriveTransferRecord record = DriveTransferRecord::decode(row);
            const std::string encoded = record.encode();
            FUZZ_REQUIRE(encoded.find('\n') == std::string::npos);
            FUZZ_REQUIRE(DriveTransferRecord::decode(encoded) == record);
        } catch (const StrictJson::DecodeError&) {
        } catch (const std::exception& error) {
            FUZZ_UNEXPECTED(error);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const std::uint8_t selector = data[0];
    const std::size_t padding = std::size_t{data[1]} * 1024;
    std::string list(fuzz::bytesOf(data + 3, size - 3));
    if (padding > 0) {
        list.insert(list.size() * data[2] / 255, padding, ' ');
    }

    switch (selector % 9) {
        case 0:
            readList<AnyObject>(list);
            decodeJournals(list);
            break;
        case 1:
            readList<SourceSnapshotRecord>(list);
            break;
        case 2:
            readList<ExpectedArchiveRecord>(list);
            break;
        case 3:
            readList<PathMappingHeader>(list);
            break;
        case 4:
            readList<PathMappingRecord>(list);
            break;
        case 5:
            readList<PreflightArchiveRecord>(list);
            break;
        case 6:
            readList<PathMappingReceiptHeader>(list);
            break;
        case 7:
            readList<PathMappingReceiptRecord>(list);
            break;
        default:
            decodeJournals(list);
            break;
    }
    return 0;
}
