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

// The stream asks on from each short share and stays within the bound that settles ZIP64 early.
// A provider that delivers nothing or too much fails instead of spinning; cancellation and the
// callbacks' errors end the stream as thrown, with no callback after them.
TEST(MaximumZIPDeflaterTest, CompressesWhatTheProviderHandsOutUntilAFault) {
    const std::string source = test::randomBytes(5 * 4096, 4);
    const std::string refused = "finalizationFailed: ZIP compression source returned ";
    enum Fault { none, empty, overfull, cancel, provider, consumer };
    const std::tuple<Mode, std::size_t, std::size_t, Fault, int, std::string> cases[] = {
        {Mode::maximum, 1024, 1024, none, 0, "ok"},
        {Mode::balanced, 4096, 1000, none, 0, "ok"},
        {Mode::maximum, 4096, 4096, empty, 2, refused + "0 of 4096 bytes"},
        {Mode::maximum, 4096, 4096, overfull, 2, refused + "4097 of 4096 bytes"},
        {Mode::maximum, 4096, 4096, cancel, 1, "cancelled"},
        {Mode::maximum, 4096, 4096, cancel, 5, "cancelled"},
        {Mode::maximum, 4096, 4096, provider, 2, "sourceChanged: p"},
        {Mode::maximum, 4096, 4096, consumer, 1, "insufficientSpace: "}};
    for (const auto& [mode, buffer, share, fault, at, expected] : cases) {
        std::string out;
        std::uint64_t next = 0;
        int calls = 0, outputs = 0;
        bool over = false;  // the fault has happened
        const auto provide = [&](std::uint64_t position, std::span<std::uint8_t> block) {
            EXPECT_FALSE(over) << "asked again after the fault";
            EXPECT_EQ(position, next);
            EXPECT_EQ(block.size(), std::min<std::uint64_t>(buffer, source.size() - position));
            over = fault != consumer && ++calls == at;
            if (over && fault == provider) {
                throw ArchivePipelineError::sourceChanged("p");
            }
            const std::size_t n = std::min(share, block.size());
            std::copy_n(source.data() + position, n, block.data());
            next += n;
            const bool lies = over && fault != cancel;
            return !lies ? n : fault == empty ? 0 : n + 1;
        };
        const auto consume = [&](std::span<const std::uint8_t> b) {
            EXPECT_FALSE(over) << "output after the fault";
            EXPECT_TRUE(!b.empty() && b.size() <= buffer);
            out.append(reinterpret_cast<const char*>(b.data()), b.size());
            if (fault == consumer && ++outputs == at) {
                over = true;
                throw ArchivePipelineError::insufficientSpace();
            }
        };
        const auto check = [&] { over&& fault == cancel ? throw OperationCancelled() : void(); };
        ZipDeflateStream stream(mode);
        std::uint32_t crc = 0;
        EXPECT_EQ(test::outcomeOf([&] {
                      crc = stream.compress(source.size(), buffer, provide, consume, check);
                  }),
                  expected);
        if (fault == none) {
            EXPECT_EQ(crc, test::crc32Of(source));
            EXPECT_EQ(inflateRaw(out, source), source);
            EXPECT_LE(out.size(), stream.bound(source.size()));
        }
    }
}

}  // namespace
}  // namespace tolvane
