// A list for the JSON-lines reader with the record decoder byte 0 picks, byte 1 KiB of blanks
// inserted where byte 2 says, to reach the reader's bound.

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/JSONLines.h"
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

template <class T>
T decoded(std::string_view row) {
    return T::decode(StrictJson::parseObject(row));
}

template <class T>
void readList(std::string_view list) {
    JSONLines::Reader reader(fuzz::memoryFile(list));
    for (std::size_t start = 0;; ++start) {
        const std::size_t feed = list.find('\n', start);
        const bool complete = feed != std::string_view::npos && feed > start;
        try {
            const std::optional<T> record = reader.next<T>();
            FUZZ_REQUIRE(record.has_value() == (start < list.size()));
            if (!record) {
                FUZZ_REQUIRE(!reader.next<T>());
                return;
            }
            FUZZ_REQUIRE(complete && feed - start <= JSONLines::maxPendingBytes);
            FUZZ_REQUIRE(decoded<T>(list.substr(start, feed - start)) == *record);
            const std::string line = record->encode();
            FUZZ_REQUIRE(line.find('\n') == std::string::npos && decoded<T>(line) == *record);
        } catch (const StrictJson::DecodeError&) {
            FUZZ_REQUIRE(complete);  // the row was taken and does not decode
        } catch (const ArchivePipelineError& error) {
            FUZZ_REQUIRE(!complete || list.size() - start > JSONLines::maxPendingBytes);
            try {
                (void)reader.next<T>();
                FUZZ_REQUIRE(!"a failed reader read on");
            } catch (const ArchivePipelineError& again) {
                FUZZ_REQUIRE(again == error);
            }
            return;
        }
        start = feed;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // clang-format off
    constexpr void (*readers[])(std::string_view) = {
        readList<AnyObject>, readList<SourceSnapshotRecord>, readList<ExpectedArchiveRecord>,
        readList<PathMappingHeader>, readList<PathMappingRecord>, readList<PreflightArchiveRecord>,
        readList<PathMappingReceiptHeader>, readList<PathMappingReceiptRecord>};
    // clang-format on
    if (size >= 3) {
        std::string list(fuzz::bytesOf(data + 3, size - 3));
        list.insert(list.size() * data[2] / 255, std::size_t{data[1]} * 1024, ' ');
        readers[data[0] % std::size(readers)](list);  // any other exception aborts the run
    }
    return 0;
}
