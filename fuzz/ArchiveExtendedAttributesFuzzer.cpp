// Feeds arbitrary bytes, as an entry's whole extra field, to the extended-attribute decoder. A
// decoded map must count its bytes and survive the encoder unchanged, unless it holds a
// bookkeeping name, which is decoded but never written.

#include <cstddef>
#include <cstdint>
#include <exception>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchivePipelineError.h"
#include "fuzz/FuzzSupport.h"

using namespace tolvane;
namespace Attributes = ArchiveExtendedAttributes;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const auto field = fuzz::bytesOf(data, size);
        const Attributes::Map decoded = Attributes::decodeField(field);
        FUZZ_REQUIRE(Attributes::decodeField(Attributes::attributeBlock(field)) == decoded);
        std::uint64_t bytes = 0;
        bool bookkeeping = false;
        for (const auto& [name, value] : decoded) {
            bytes += name.size() + value.size();
            bookkeeping = bookkeeping || Attributes::isBookkeepingName(name);
        }
        FUZZ_REQUIRE(Attributes::metadataByteCount(decoded) == bytes);
        try {
            const auto encoded = Attributes::encodeField(decoded);
            FUZZ_REQUIRE(!bookkeeping && encoded.has_value() == !decoded.empty());
            FUZZ_REQUIRE(!encoded || (encoded->size() <= Attributes::maxBlockBytes &&
                                      Attributes::decodeField(*encoded) == decoded));
        } catch (const ArchivePipelineError& error) {
            FUZZ_REQUIRE(bookkeeping &&
                         error.code() == ArchivePipelineError::Code::unsupportedArchiveEntry);
        }
    } catch (const ArchivePipelineError& error) {
        FUZZ_REQUIRE(error.code() == ArchivePipelineError::Code::invalidArchive);
    } catch (const std::exception& error) {
        FUZZ_UNEXPECTED(error);
    }
    return 0;
}
