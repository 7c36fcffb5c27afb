#include "core/archive/MaximumZIPDeflater.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/archive/ArchivePipelineError.h"

namespace tolvane {

namespace {

// Raw deflate: a negative window size tells zlib to write neither header nor trailer.
constexpr int rawWindowBits = -15;

struct Parameters {
    int level;
    int memLevel;
    const char* initFailure;
    const char* deflateFailure;
};

Parameters parametersOf(ArchiveCompressionMode mode) {
    if (mode == ArchiveCompressionMode::maximum) {
        return {9, 9, "could not initialize maximum ZIP compression",
                "maximum ZIP compression failed ("};
    }
    return {Z_DEFAULT_COMPRESSION, 8, "could not initialize ZIP compression",
            "ZIP compression failed ("};
}

}  // namespace

// Owns the z_stream: deflateEnd runs on every way out, including a callback's exception.
struct ZipDeflateStream::State {
    z_stream stream{};
    bool initialized = false;
    std::vector<std::uint8_t> input;
    std::vector<std::uint8_t> output;

    ~State() {
        if (initialized) {
            // The result only says whether the stream had finished; its memory is freed either way.
            deflateEnd(&stream);
        }
    }
};

ZipDeflateStream::ZipDeflateStream(ArchiveCompressionMode mode)
    : state_(std::make_unique<State>()), mode_(mode) {
    const Parameters parameters = parametersOf(mode);
    const int result = deflateInit2(&state_->stream, parameters.level, Z_DEFLATED, rawWindowBits,
                                    parameters.memLevel, Z_DEFAULT_STRATEGY);
    if (result != Z_OK) {
        throw ArchivePipelineError::finalizationFailed(parameters.initFailure);
    }
    state_->initialized = true;
}

ZipDeflateStream::~ZipDeflateStream() = default;

void ZipDeflateStream::reset() {
    if (deflateReset(&state_->stream) != Z_OK) {
        throw ArchivePipelineError::finalizationFailed(parametersOf(mode_).initFailure);
    }
    used_ = false;
}

std::uint64_t ZipDeflateStream::bound(std::uint64_t sourceBytes) const {
    static_assert(sizeof(uLong) == sizeof(std::uint64_t), "zlib's uLong must hold 64 bits");
    // zlib's bound adds a few eighths of the source; keep the sum clear of wrapping around.
    if (sourceBytes > (std::uint64_t{1} << 62)) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return deflateBound(&state_->stream, static_cast<uLong>(sourceBytes));
}

std::uint64_t ZipDeflateStream::partBound(std::size_t partBytes) const {
    // The end of a part that is not the last: an empty stored block after up to 7 bits of the
    // previous block, which the bound of a finished stream does not count.
    constexpr std::uint64_t flushBytes = 6;
    return bound(partBytes) + flushBytes;
}

std::uint32_t ZipDeflateStream::compressPart(std::span<const std::uint8_t> input, bool last,
                                             std::vector<std::uint8_t>& output) {
    if (input.size() > std::numeric_limits<uInt>::max()) {
        throw std::invalid_argument("a deflate part must fit zlib's 32-bit counters");
    }
    reset();
    used_ = true;
    const Parameters parameters = parametersOf(mode_);
    z_stream& stream = state_->stream;
    // Input is const to zlib; the cast only meets its older prototype.
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    output.resize(static_cast<std::size_t>(partBound(input.size())));
    std::size_t produced = 0;
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
        stream.next_out = output.data() + produced;
        stream.avail_out = static_cast<uInt>(output.size() - produced);
        const int result = deflate(&stream, flush);
        if (result != Z_OK && result != Z_STREAM_END) {
            throw ArchivePipelineError::finalizationFailed(parameters.deflateFailure +
                                                           std::to_string(result) + ")");
        }
        produced = output.size() - stream.avail_out;
        // A flushed part is complete once zlib leaves room unused; a last one at its end.
        if (result == Z_STREAM_END || (!last && stream.avail_out > 0)) {
            break;
        }
        output.resize(output.size() + 65536);
    }
    output.resize(produced);
    return static_cast<std::uint32_t>(crc32_z(0, input.data(), input.size()));
}

std::uint32_t ZipDeflateStream::compress(
    std::uint64_t size, std::size_t bufferSize, const ZipDeflateCallbacks::Provider& provider,
    const ZipDeflateCallbacks::Consumer& consumer,
    const ZipDeflateCallbacks::CheckCancelled& checkCancelled) {
    if (used_) {
        throw std::logic_error("a deflate stream compresses only one source");
    }
    used_ = true;
    if (bufferSize == 0 || bufferSize > std::numeric_limits<uInt>::max()) {
        throw std::invalid_argument("deflate buffer size must fit zlib's 32-bit counters");
    }
    const Parameters parameters = parametersOf(mode_);
    z_stream& stream = state_->stream;

    // A small source needs no full-size input block; blocks are kept for the next source.
    std::vector<std::uint8_t>& input = state_->input;
    std::vector<std::uint8_t>& output = state_->output;
    const auto inputSize = static_cast<std::size_t>(std::min<std::uint64_t>(size, bufferSize));
    if (input.size() < inputSize) {
        input.resize(inputSize);
    }
    if (output.size() != bufferSize) {
        output.resize(bufferSize);
    }
    uLong crc = 0;
    std::uint64_t position = 0;

    // At least one pass, so an empty source still yields a complete (empty) stream.
    do {
        checkCancelled();
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - position, bufferSize));
        const std::size_t got = provider(position, std::span<std::uint8_t>(input.data(), count));
        // An empty block while bytes remain would never reach Z_FINISH and spin for ever; an
        // oversized one would have overrun the block.
        if (got > count || (got == 0 && count > 0)) {
            throw ArchivePipelineError::finalizationFailed("ZIP compression source returned " +
                                                           std::to_string(got) + " of " +
                                                           std::to_string(count) + " bytes");
        }
        position += got;
        const int flush = position == size ? Z_FINISH : Z_NO_FLUSH;
        if (got > 0) {
            crc = crc32_z(crc, input.data(), got);
        }
        stream.next_in = input.data();
        stream.avail_in = static_cast<uInt>(got);

        for (;;) {
            checkCancelled();
            stream.next_out = output.data();
            stream.avail_out = static_cast<uInt>(bufferSize);
            const int result = deflate(&stream, flush);
            if (result != Z_OK && result != Z_STREAM_END) {
                throw ArchivePipelineError::finalizationFailed(parameters.deflateFailure +
                                                               std::to_string(result) + ")");
            }
            const std::size_t produced = bufferSize - stream.avail_out;
            if (produced > 0) {
                consumer(std::span<const std::uint8_t>(output.data(), produced));
            }
            if (result == Z_STREAM_END) {
                break;
            }
            // Input used up with room to spare: zlib wants the next block.
            if (flush != Z_FINISH && stream.avail_in == 0 && stream.avail_out > 0) {
                break;
            }
        }
    } while (position < size);

    // The last pass ran with Z_FINISH, whose loop leaves only at Z_STREAM_END.
    return static_cast<std::uint32_t>(crc);
}

std::uint32_t MaximumZIPDeflater::compress(
    std::uint64_t size, std::size_t bufferSize, const ZipDeflateCallbacks::Provider& provider,
    const ZipDeflateCallbacks::Consumer& consumer,
    const ZipDeflateCallbacks::CheckCancelled& checkCancelled) {
    ZipDeflateStream stream(ArchiveCompressionMode::maximum);
    return stream.compress(size, bufferSize, provider, consumer, checkCancelled);
}

}  // namespace tolvane
