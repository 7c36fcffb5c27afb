#include "core/archive/MaximumZIPDeflater.h"

#include <zlib.h>

#include <gtest/gtest.h>

#include "support/TestData.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveValues.h"

namespace tolvane {
namespace {

using test::randomBytes;
using test::textBytes;

using Mode = ArchiveCompressionMode;

struct TestCancelled {};

// Inflates a raw deflate stream with zlib's own decoder; fails the test on a broken stream or
// bytes after its end.
std::string inflateRaw(const std::string& compressed) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, -15), Z_OK);
    std::string out;
    std::vector<unsigned char> buffer(65536);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = buffer.data();
        stream.avail_out = static_cast<uInt>(buffer.size());
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - stream.avail_out);
    }
    EXPECT_EQ(result, Z_STREAM_END) << "raw deflate stream did not end";
    EXPECT_EQ(stream.avail_in, 0u) << "bytes after the end of the stream";
    inflateEnd(&stream);
    return out;
}

// Copies the requested block of `source` and returns its size.
std::size_t copyBlock(const std::string& source, std::uint64_t position,
                      std::span<std::uint8_t> block) {
    std::copy_n(source.data() + position, block.size(), reinterpret_cast<char*>(block.data()));
    return block.size();
}

struct Deflated {
    std::string output;
    std::uint32_t crc = 0;
    std::vector<std::pair<std::uint64_t, std::size_t>> requests;  // position, count
    std::vector<std::size_t> outputBlocks;
};

// Compresses `source`; the provider hands out at most `share` of each request (0: all of it).
Deflated compress(Mode mode, const std::string& source, std::size_t bufferSize,
                  std::size_t share = 0) {
    Deflated run;
    ZipDeflateStream stream(mode);
    run.crc = stream.compress(
        source.size(), bufferSize,
        [&](std::uint64_t position, std::span<std::uint8_t> block) {
            run.requests.emplace_back(position, block.size());
            const std::size_t n = share == 0 ? block.size() : std::min(share, block.size());
            return copyBlock(source, position, block.first(n));
        },
        [&](std::span<const std::uint8_t> bytes) {
            run.outputBlocks.push_back(bytes.size());
            run.output.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        },
        [] {});
    return run;
}

TEST(MaximumZIPDeflaterTest, RoundTripsThroughAnIndependentInflater) {
    struct Case {
        std::string source;
        std::size_t bufferSize;
        std::size_t expectedPasses;
    };
    const Case cases[] = {
        {"", 65536, 1},  // one empty final block
        {"x", 65536, 1},
        {textBytes(65536), 65536, 1},
        {textBytes(65537), 65536, 2},
        {randomBytes(300000, 1), 65536, 5},
        // A small buffer makes deflate fill the output several times within one pass.
        {randomBytes(20000, 2), 1024, 20},
        {textBytes(100000), 999, 101},
    };
    for (const Mode mode : {Mode::maximum, Mode::balanced}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(c.source.size()) + " bytes, buffer " +
                         std::to_string(c.bufferSize) + (mode == Mode::maximum ? ", maximum" : ""));
            const Deflated run = compress(mode, c.source, c.bufferSize);
            EXPECT_EQ(inflateRaw(run.output), c.source);
            EXPECT_EQ(run.crc,
                      crc32_z(0, reinterpret_cast<const Bytef*>(c.source.data()), c.source.size()));
            // The bound decides an entry's ZIP64 form before its data exists: it must hold for
            // data that does not compress.
            EXPECT_LE(run.output.size(), ZipDeflateStream(mode).bound(c.source.size()));
            ASSERT_EQ(run.requests.size(), c.expectedPasses);
            std::uint64_t position = 0;
            for (const auto& [at, count] : run.requests) {
                EXPECT_EQ(at, position);
                EXPECT_EQ(count, std::min<std::uint64_t>(c.bufferSize, c.source.size() - at));
                position += count;
            }
            for (const std::size_t block : run.outputBlocks) {
                EXPECT_GT(block, 0u);
                EXPECT_LE(block, c.bufferSize);
            }
        }
    }
}

TEST(MaximumZIPDeflaterTest, ShortBlocksAdvanceThePosition) {
    const std::string source = randomBytes(10000, 3);
    const Deflated run = compress(Mode::maximum, source, 4096, 1000);
    EXPECT_EQ(inflateRaw(run.output), source);
    EXPECT_EQ(run.requests.size(), 10u);
    EXPECT_EQ(run.requests[1], std::make_pair(std::uint64_t{1000}, std::size_t{4096}));
}

// The bound depends on the mode's memory level.
TEST(MaximumZIPDeflaterTest, BoundAtTheZip64Threshold) {
    const std::uint64_t justUnder4GiB = 0xF0000000;
    EXPECT_GE(ZipDeflateStream(Mode::maximum).bound(justUnder4GiB), std::uint64_t{1} << 32);
    EXPECT_LT(ZipDeflateStream(Mode::balanced).bound(justUnder4GiB), std::uint64_t{1} << 32);
    EXPECT_GE(ZipDeflateStream(Mode::balanced).bound(0xFFFFFFFF), std::uint64_t{1} << 32);
    EXPECT_EQ(ZipDeflateStream(Mode::balanced).bound(UINT64_MAX), UINT64_MAX);
}

TEST(MaximumZIPDeflaterTest, ProviderThatDoesNotDeliverFailsInsteadOfSpinning) {
    const std::string source = textBytes(5000);
    // The second call's answer: an empty block while bytes remain, or more than the block holds.
    for (const std::size_t extra : {std::size_t{0}, std::size_t{1025}}) {
        SCOPED_TRACE(extra);
        int calls = 0;
        int consumerCallsAfterFault = 0;
        try {
            MaximumZIPDeflater::compress(
                source.size(), 1024,
                [&](std::uint64_t position, std::span<std::uint8_t> block) -> std::size_t {
                    return ++calls == 2 ? extra : copyBlock(source, position, block);
                },
                [&](std::span<const std::uint8_t>) { consumerCallsAfterFault += calls >= 2; },
                [] {});
            ADD_FAILURE() << "no error";
        } catch (const ArchivePipelineError& error) {
            EXPECT_EQ(error.code(), ArchivePipelineError::Code::finalizationFailed);
            // Refused for what it is, not left to whatever zlib makes of an empty pass.
            EXPECT_EQ(error.detail().rfind("ZIP compression source returned ", 0), 0u)
                << error.detail();
        }
        EXPECT_EQ(calls, 2);
        EXPECT_EQ(consumerCallsAfterFault, 0);
    }
    EXPECT_THROW(MaximumZIPDeflater::compress(
                     10, 0, [](std::uint64_t, std::span<std::uint8_t>) { return std::size_t{0}; },
                     [](std::span<const std::uint8_t>) {}, [] {}),
                 std::invalid_argument);
}

// Cancellation asked for while a block is being read stops before the block is compressed:
// no output for it reaches the consumer and no further block is asked for.
TEST(MaximumZIPDeflaterTest, CancellationBetweenBlocksStopsBeforeAnotherCall) {
    const std::string source = randomBytes(5 * 4096, 4);
    for (const int cancelAtCall : {1, 2, 5}) {
        SCOPED_TRACE(cancelAtCall);
        int providerCalls = 0;
        int callsAfterCancel = 0;
        const auto cancelled = [&] { return providerCalls >= cancelAtCall; };
        EXPECT_THROW(MaximumZIPDeflater::compress(
                         source.size(), 4096,
                         [&](std::uint64_t position, std::span<std::uint8_t> block) {
                             callsAfterCancel += cancelled();
                             ++providerCalls;
                             return copyBlock(source, position, block);
                         },
                         [&](std::span<const std::uint8_t>) { callsAfterCancel += cancelled(); },
                         [&] {
                             if (cancelled()) {
                                 throw TestCancelled();
                             }
                         }),
                     TestCancelled);
        EXPECT_EQ(providerCalls, cancelAtCall);
        EXPECT_EQ(callsAfterCancel, 0);
    }
}

// Errors of the callbacks reach the caller as they were thrown; the sanitizer run checks that
// the zlib stream is released on the way out.
TEST(MaximumZIPDeflaterTest, CallbackErrorsPropagateUnchanged) {
    const std::string source = randomBytes(200000, 5);
    for (const bool provider : {true, false}) {
        const ArchivePipelineError thrown = provider ? ArchivePipelineError::sourceChanged("p")
                                                     : ArchivePipelineError::insufficientSpace();
        int providerCalls = 0;
        try {
            MaximumZIPDeflater::compress(
                source.size(), 65536,
                [&](std::uint64_t position, std::span<std::uint8_t> block) {
                    if (provider && ++providerCalls == 2) {
                        throw thrown;
                    }
                    return copyBlock(source, position, block);
                },
                [&](std::span<const std::uint8_t>) {
                    if (!provider) {
                        throw thrown;
                    }
                },
                [] {});
            ADD_FAILURE() << "no error";
        } catch (const ArchivePipelineError& error) {
            EXPECT_EQ(error, thrown);
        }
    }
}

}  // namespace
}  // namespace tolvane
