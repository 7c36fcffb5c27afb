// Feeds arbitrary bytes, as an in-memory list, to the JSON-lines reader with one record decoder,
// and every row to the decoders of the stage journal and the Drive transfer journal.
//
// Input: byte 0 picks the decoder; byte 1 asks for that many KiB of blanks, inserted at the
// fraction of the list byte 2 names, so rows near the reader's bound need no huge inputs.
//
// The reader must hand out exactly the rows of an independent split at line feeds, fail only on
// an empty row, an unterminated last row or more pending bytes than its bound, and stay failed.
// Every record decoded encodes to one line that decodes back to the same record.

#include <string>
#include <string_view>
#include <vector>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/JSONLines.h"
#include "core/archive/StagingLease.h"
#include "core/drive/FileDriveTransferJournal.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace tolvane;

// Any JSON object: the reader's framing without a record's own rules.
struct AnyObject {
    StrictJson::Value value;
    std::string encode() const { return value.dump(); }
    static AnyObject decode(const StrictJson::Value& object) { return {object}; }
    friend bool operator==(const AnyObject&, const AnyObject&) = default;
};

template <class Decode, class Encode>
void roundTrip(std::string_view row, Decode decode, Encode encode) {
    try {
        const auto record = decode(row);
        const std::string encoded = encode(record);
        FUZZ_REQUIRE(encoded.find('\n') == std::string::npos && decode(encoded) == record);
    } catch (const StrictJson::DecodeError&) {
    } catch (const std::exception& error) {
        FUZZ_UNEXPECTED(error);
    }
}

template <class T>
void readList(std::string_view list) {
    JSONLines::Reader reader(fuzz::memoryFile(list));
    for (std::size_t start = 0;;) {
        const std::size_t feed = list.find('\n', start);
        const std::string_view row = list.substr(start, feed - start);
        const bool oversized = list.size() - start > JSONLines::maxPendingBytes;
        try {
            const std::optional<T> record = reader.next<T>();
            FUZZ_REQUIRE(record.has_value() == (start < list.size()));
            if (!record) {
                FUZZ_REQUIRE(!reader.next<T>());
                return;
            }
            FUZZ_REQUIRE(feed != std::string_view::npos && !row.empty());
            FUZZ_REQUIRE(row.size() <= JSONLines::maxPendingBytes);
            FUZZ_REQUIRE(T::decode(StrictJson::parseObject(row)) == *record);
            roundTrip(
                row, [](std::string_view text) { return T::decode(StrictJson::parseObject(text)); },
                [](const T& record) { return record.encode(); });
        } catch (const StrictJson::DecodeError&) {
            // The row was taken and does not decode.
            FUZZ_REQUIRE(feed != std::string_view::npos && !row.empty());
        } catch (const ArchivePipelineError& error) {
            FUZZ_REQUIRE(row.empty() || feed == std::string_view::npos || oversized);
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
        start = feed + 1;
    }
}

void decodeJournals(std::string_view list) {
    for (std::size_t start = 0, feed; (feed = list.find('\n', start)) != list.npos;
         start = feed + 1) {
        const std::string_view row = list.substr(start, feed - start);
        roundTrip(row, ArchivePipeline::decodeStageJournal, ArchivePipeline::encodeStageJournal);
        roundTrip(
            row, [](std::string_view text) { return DriveTransferRecord::decode(text); },
            [](const DriveTransferRecord& record) { return record.encode(); });
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    std::string list(fuzz::bytesOf(data + 3, size - 3));
    list.insert(list.size() * data[2] / 255, std::size_t{data[1]} * 1024, ' ');
    using Read = void (*)(std::string_view);
    constexpr Read readers[] = {readList<AnyObject>,
                                readList<SourceSnapshotRecord>,
                                readList<ExpectedArchiveRecord>,
                                readList<PathMappingHeader>,
                                readList<PathMappingRecord>,
                                readList<PreflightArchiveRecord>,
                                readList<PathMappingReceiptHeader>,
                                readList<PathMappingReceiptRecord>,
                                decodeJournals};
    readers[data[0] % std::size(readers)](list);
    return 0;
}
