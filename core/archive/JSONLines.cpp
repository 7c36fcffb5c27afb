#include "core/archive/JSONLines.h"

#include <fcntl.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/archive/ArchivePipelineError.h"
#include "core/common/Posix.h"

namespace tolvane::JSONLines {

void appendLine(std::string_view line, int fd) {
    std::string bytes;
    bytes.reserve(line.size() + 1);
    bytes.append(line);
    bytes.push_back('\n');
    posix::writeAll(fd, bytes.data(), bytes.size());
}

void Writer::appendLine(std::string_view line) {
    pending_.append(line);
    pending_.push_back('\n');
    if (pending_.size() >= maxPendingBytes) {
        flush();
    }
}

void Writer::flush() {
    std::string out;
    out.swap(pending_);
    posix::writeAll(fd_, out.data(), out.size());
    out.clear();
    out.swap(pending_);  // keeps the buffer for the next rows
}

Reader::Reader(const std::string& path) : fd_(posix::open(path, O_RDONLY | O_NOFOLLOW)) {}

Reader::Reader(UniqueFd fd) : fd_(std::move(fd)) {}

void Reader::fail(const char* detail) {
    failure_ = ArchivePipelineError::invalidArchive(detail);
    std::string().swap(pending_);
    start_ = 0;
    throw *failure_;
}

std::optional<std::string_view> Reader::nextRow() {
    if (failure_) {
        throw *failure_;
    }
    std::size_t lineFeed = pending_.find('\n', start_);
    while (lineFeed == std::string::npos) {
        if (exhausted_) {
            if (start_ == pending_.size()) {
                return std::nullopt;
            }
            fail("truncated job manifest");
        }
        pending_.erase(0, start_);
        start_ = 0;
        const std::size_t before = pending_.size();
        pending_.resize(before + readSize);
        std::size_t got = 0;
        try {
            got = posix::readSome(fd_.get(), pending_.data() + before, readSize);
        } catch (...) {
            pending_.resize(before);
            throw;
        }
        pending_.resize(before + got);
        if (got == 0) {
            exhausted_ = true;
        } else if (pending_.size() > maxPendingBytes) {
            // The bound holds after every read: one that leaves too much pending fails even
            // when it also brought the row's end.
            fail("oversized manifest row");
        }
        lineFeed = pending_.find('\n', before);
    }
    const std::string_view row = std::string_view(pending_).substr(start_, lineFeed - start_);
    start_ = lineFeed + 1;
    if (row.empty()) {
        fail("empty job manifest row");
    }
    return row;
}

}  // namespace tolvane::JSONLines
