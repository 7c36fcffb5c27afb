#include "core/archive/MaximumZIPDeflater.h"

#include <zlib.h>

#include <gtest/gtest.h>

#include "support/TestData.h"

#include <algorithm>
#include <cstdint>
#include <random>
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
        if (result == Z_BUF_ERROR && stream.avail_in == 0) {
            break;
        }
    }
    EXPECT_EQ(result, Z_STREAM_END) << "raw deflate stream did not end";
    EXPECT_EQ(stream.avail_in, 0u) << "bytes after the end of the stream";
    inflateEnd(&stream);
    return out;
}

std::uint32_t crcOf(const std::string& data) {
    return static_cast<std::uint32_t>(
        crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
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
            std::copy_n(source.data() + position, n, reinterpret_cast<char*>(block.data()));
            return n;
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
        const char* label;
        std::string source;
        std::size_t bufferSize;
        std::size_t expectedPasses;
    };
    const Case cases[] = {
        {"one byte", "x", 65536, 1},
        {"exactly one buffer", textBytes(65536), 65536, 1},
        {"one buffer and a byte", textBytes(65537), 65536, 2},
        {"incompressible", randomBytes(300000, 1), 65536, 5},
        // A small buffer makes deflate fill the output several times within one pass.
        {"incompressible, small buffer", randomBytes(20000, 2), 1024, 20},
        {"compressible, odd buffer", textBytes(100000), 999, 101},
    };
    for (const Mode mode : {Mode::maximum, Mode::balanced}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + (mode == Mode::maximum ? " maximum" : " balanced"));
            const Deflated run = compress(mode, c.source, c.bufferSize);
            EXPECT_EQ(inflateRaw(run.output), c.source);
            EXPECT_EQ(run.crc, crcOf(c.source));
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

TEST(MaximumZIPDeflaterTest, EmptySourceIsOneEmptyFinalBlock) {
    for (const Mode mode : {Mode::maximum, Mode::balanced}) {
        const Deflated run = compress(mode, "", 65536);
        EXPECT_EQ(run.output, std::string("\x03\x00", 2));
        EXPECT_EQ(run.crc, 0u);
        ASSERT_EQ(run.requests.size(), 1u);
        EXPECT_EQ(run.requests[0], std::make_pair(std::uint64_t{0}, std::size_t{0}));
    }
}

TEST(MaximumZIPDeflaterTest, ShortBlocksAdvanceThePosition) {
    const std::string source = randomBytes(10000, 3);
    const Deflated run = compress(Mode::maximum, source, 4096, 1000);
    EXPECT_EQ(inflateRaw(run.output), source);
    EXPECT_EQ(run.crc, crcOf(source));
    EXPECT_EQ(run.requests.size(), 10u);
    EXPECT_EQ(run.requests[1], std::make_pair(std::uint64_t{1000}, std::size_t{4096}));
}

TEST(MaximumZIPDeflaterTest, ProviderThatDoesNotDeliverFailsInsteadOfSpinning) {
    struct Case {
        const char* label;
        std::size_t (*answer)(std::size_t blockSize);  // the second call's answer
    };
    const Case cases[] = {
        {"empty block while bytes remain", [](std::size_t) { return std::size_t{0}; }},
        {"more than the block holds", [](std::size_t size) { return size + 1; }},
    };
    const std::string source = textBytes(5000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        int calls = 0;
        int consumerCallsAfterFault = 0;
        bool faulted = false;
        try {
            MaximumZIPDeflater::compress(
                source.size(), 1024,
                [&](std::uint64_t position, std::span<std::uint8_t> block) -> std::size_t {
                    if (++calls == 2) {
                        faulted = true;
                        return c.answer(block.size());
                    }
                    std::copy_n(source.data() + position, block.size(),
                                reinterpret_cast<char*>(block.data()));
                    return block.size();
                },
                [&](std::span<const std::uint8_t>) { consumerCallsAfterFault += faulted; }, [] {});
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
}

TEST(MaximumZIPDeflaterTest, ZeroBufferSizeIsRefused) {
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
        bool cancelled = false;
        int providerCalls = 0;
        int callsAfterCancel = 0;
        EXPECT_THROW(MaximumZIPDeflater::compress(
                         source.size(), 4096,
                         [&](std::uint64_t position, std::span<std::uint8_t> block) {
                             callsAfterCancel += cancelled;
                             std::copy_n(source.data() + position, block.size(),
                                         reinterpret_cast<char*>(block.data()));
                             if (++providerCalls == cancelAtCall) {
                                 cancelled = true;
                             }
                             return block.size();
                         },
                         [&](std::span<const std::uint8_t>) { callsAfterCancel += cancelled; },
                         [&] {
                             if (cancelled) {
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
    for (const int thrower : {0, 1}) {
        SCOPED_TRACE(thrower == 0 ? "provider" : "consumer");
        int providerCalls = 0;
        try {
            MaximumZIPDeflater::compress(
                source.size(), 65536,
                [&](std::uint64_t position, std::span<std::uint8_t> block) {
                    if (thrower == 0 && ++providerCalls == 2) {
                        throw ArchivePipelineError::sourceChanged("p");
                    }
                    std::copy_n(source.data() + position, block.size(),
                                reinterpret_cast<char*>(block.data()));
                    return block.size();
                },
                [&](std::span<const std::uint8_t>) {
                    if (thrower == 1) {
                        throw ArchivePipelineError::insufficientSpace();
                    }
                },
                [] {});
            ADD_FAILURE() << "no error";
        } catch (const ArchivePipelineError& error) {
            EXPECT_EQ(error, thrower == 0 ? ArchivePipelineError::sourceChanged("p")
                                          : ArchivePipelineError::insufficientSpace());
        }
    }
}

// The bound decides an entry's ZIP64 form before its data exists: it must hold for data that
// does not compress, and it depends on the mode's memory level.
TEST(MaximumZIPDeflaterTest, BoundCoversIncompressibleOutput) {
    const std::string source = randomBytes(300000, 6);
    for (const Mode mode : {Mode::maximum, Mode::balanced}) {
        const Deflated run = compress(mode, source, 65536);
        EXPECT_LE(run.output.size(), ZipDeflateStream(mode).bound(source.size()));
        EXPECT_GT(run.output.size(), source.size());
    }
    const std::uint64_t justUnder4GiB = 0xF0000000;
    EXPECT_GE(ZipDeflateStream(Mode::maximum).bound(justUnder4GiB), std::uint64_t{1} << 32);
    EXPECT_LT(ZipDeflateStream(Mode::balanced).bound(justUnder4GiB), std::uint64_t{1} << 32);
    EXPECT_GE(ZipDeflateStream(Mode::balanced).bound(0xFFFFFFFF), std::uint64_t{1} << 32);
    EXPECT_EQ(ZipDeflateStream(Mode::balanced).bound(UINT64_MAX), UINT64_MAX);
}

}  // namespace
}  // namespace tolvane
