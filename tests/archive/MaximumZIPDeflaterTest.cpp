#include "core/archive/MaximumZIPDeflater.h"

#include <gtest/gtest.h>

#include "core/archive/ArchivePipelineError.h"
#include "core/common/Cancellation.h"
#include "support/Outcome.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using Mode = ArchiveCompressionMode;

// The raw deflate stream as libzip, an independent reader, inflates and checks it.
std::string inflateRaw(const std::string& stream, const std::string& source) {
    test::RawZipBuilder zip;
    test::RawZipEntry& e = zip.addStored("x", stream);
    e.local.method = e.central.method = ZipFormat::methodDeflate;
    e.local.crc32 = e.central.crc32 = test::crc32Of(source);
    e.local.uncompressedSize = e.central.uncompressedSize = std::uint32_t(source.size());
    test::TempDir dir;
    zip.relink().writeTo(dir.file("x.zip"));
    return test::zipEntries(dir.file("x.zip"))["x"];
}

// The provider hands out at most `share` bytes a call; the stream must ask on from there. A
// buffer much smaller than the output makes deflate fill it several times within one pass. Empty
// and multi-block sources go through the writer's round trip.
TEST(MaximumZIPDeflaterTest, CompressesWhatTheProviderHandsOut) {
    const std::tuple<Mode, std::string, std::size_t, std::size_t> cases[] = {
        {Mode::maximum, test::randomBytes(20000, 2), 1024, 1024},
        {Mode::balanced, test::randomBytes(10000, 3), 4096, 1000}};
    for (const auto& [mode, source, buffer, share] : cases) {
        std::string out;
        std::uint64_t next = 0;
        const auto provide = [&](std::uint64_t at, std::span<std::uint8_t> block) {
            EXPECT_EQ(at, next);
            EXPECT_EQ(block.size(), std::min<std::uint64_t>(buffer, source.size() - at));
            const std::size_t n = std::min(share, block.size());
            std::copy_n(source.data() + at, n, block.data());
            next += n;
            return n;
        };
        const auto consume = [&](std::span<const std::uint8_t> b) {
            EXPECT_TRUE(!b.empty() && b.size() <= buffer);
            out.append(reinterpret_cast<const char*>(b.data()), b.size());
        };
        ZipDeflateStream stream(mode);
        EXPECT_EQ(stream.compress(source.size(), buffer, provide, consume, [] {}),
                  test::crc32Of(source));
        EXPECT_EQ(inflateRaw(out, source), source);
        EXPECT_LE(out.size(), stream.bound(source.size())) << "the bound settles ZIP64 early";
    }
}

// A provider that delivers nothing (or too much) fails instead of spinning; cancellation and the
// callbacks' own errors end the stream as thrown, with no call to either callback after them.
TEST(MaximumZIPDeflaterTest, FaultsEndTheStreamAtOnce) {
    const std::string source = test::randomBytes(5 * 4096, 4);
    const std::string refused = "finalizationFailed: ZIP compression source returned ";
    enum Fault { empty, overfull, cancel, provider, consumer };
    const std::tuple<Fault, int, std::string> cases[] = {
        {empty, 2, refused + "0 of 4096 bytes"},
        {overfull, 2, refused + "4097 of 4096 bytes"},
        {cancel, 1, "cancelled"},
        {cancel, 5, "cancelled"},
        {provider, 2, "sourceChanged: p"},
        {consumer, 1, "insufficientSpace: "}};
    for (const auto& [fault, at, expected] : cases) {
        int calls = 0, outputs = 0;
        bool over = false;  // the fault has happened
        const auto provide = [&](std::uint64_t position, std::span<std::uint8_t> block) {
            EXPECT_FALSE(over) << "asked again after the fault";
            over = fault != consumer && ++calls == at;
            if (over && fault == provider) {
                throw ArchivePipelineError::sourceChanged("p");
            }
            std::copy_n(source.data() + position, block.size(), block.data());
            const bool lies = over && fault != cancel;
            return !lies ? block.size() : fault == empty ? 0 : block.size() + 1;
        };
        const auto consume = [&](auto) {
            EXPECT_FALSE(over) << "output after the fault";
            if (fault == consumer && ++outputs == at) {
                over = true;
                throw ArchivePipelineError::insufficientSpace();
            }
        };
        const auto check = [&] {
            if (over && fault == cancel) {
                throw OperationCancelled();
            }
        };
        EXPECT_EQ(test::outcomeOf([&] {
                      MaximumZIPDeflater::compress(source.size(), 4096, provide, consume, check);
                  }),
                  expected);
    }
}

}  // namespace
}  // namespace tolvane
