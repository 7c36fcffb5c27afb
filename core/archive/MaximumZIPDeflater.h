#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "core/archive/ArchiveValues.h"

namespace tolvane {

// Pull/push callbacks of a streaming deflate.
struct ZipDeflateCallbacks {
    // Fills the block with the source bytes at the position and returns how many it wrote. A
    // short block is allowed; an empty one while bytes remain, or more than the block holds, is
    // an error.
    using Provider =
        std::function<std::size_t(std::uint64_t position, std::span<std::uint8_t> block)>;
    // Receives every non-empty output block, in order. The bytes are valid only during the call.
    using Consumer = std::function<void(std::span<const std::uint8_t> bytes)>;
    // Throws the caller's cancellation error.
    using CheckCancelled = std::function<void()>;
};

// One raw deflate stream (no zlib or gzip wrapper) with the zlib parameters of a compression
// mode: maximum is level 9 with memLevel 9, balanced is zlib's default level with memLevel 8;
// both use a 32 KiB window. A stream compresses one source at a time; reset() readies it for
// the next, so a writer of many small files sets zlib up only once.
class ZipDeflateStream {
public:
    // Throws ArchivePipelineError finalizationFailed when zlib cannot set the stream up.
    explicit ZipDeflateStream(ArchiveCompressionMode mode);
    ZipDeflateStream(const ZipDeflateStream&) = delete;
    ZipDeflateStream& operator=(const ZipDeflateStream&) = delete;
    ~ZipDeflateStream();

    // The most bytes this stream can produce for a source of that size (saturated to
    // UINT64_MAX), so a writer can settle the ZIP64 form of an entry before its data exists.
    std::uint64_t bound(std::uint64_t sourceBytes) const;

    // Readies the stream for another source, keeping zlib's state memory and the buffers.
    void reset();

    // The most bytes compressPart can produce for a part of that size (at most 2^32 - 1).
    std::uint64_t partBound(std::size_t partBytes) const;

    // Compresses one part of a source on its own, from a fresh state, into `output` (replacing
    // what it held), and returns the part's CRC-32. A part that is not the last ends on a byte
    // boundary after an empty stored block and does not end the stream, so parts compressed
    // apart, on any thread, join into one deflate stream whose bytes depend only on where the
    // source was cut. zlib failures are finalizationFailed.
    std::uint32_t compressPart(std::span<const std::uint8_t> input, bool last,
                               std::vector<std::uint8_t>& output);

    // Compresses `size` source bytes pulled in blocks of at most `bufferSize` (1 ... 2^32 - 1)
    // and returns their CRC-32. checkCancelled runs at the top of every input pass and before
    // every deflate call. Errors of the callbacks propagate unchanged; zlib failures are
    // finalizationFailed. Callable once per stream, or once after each reset().
    std::uint32_t compress(std::uint64_t size, std::size_t bufferSize,
                           const ZipDeflateCallbacks::Provider& provider,
                           const ZipDeflateCallbacks::Consumer& consumer,
                           const ZipDeflateCallbacks::CheckCancelled& checkCancelled);

private:
    struct State;
    std::unique_ptr<State> state_;
    ArchiveCompressionMode mode_;
    bool used_ = false;
};

// The deflate engine of the maximum compression mode.
class MaximumZIPDeflater {
public:
    MaximumZIPDeflater() = delete;

    static std::uint32_t compress(std::uint64_t size, std::size_t bufferSize,
                                  const ZipDeflateCallbacks::Provider& provider,
                                  const ZipDeflateCallbacks::Consumer& consumer,
                                  const ZipDeflateCallbacks::CheckCancelled& checkCancelled);
};

}  // namespace tolvane
