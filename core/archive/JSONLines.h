#pragma once

#include <concepts>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/archive/ArchivePipelineError.h"
#include "core/common/StrictJson.h"
#include "core/common/UniqueFd.h"

namespace tolvane::JSONLines {

// A row type: encodes itself to one line of JSON and decodes strictly from a parsed object.
template <class T>
concept Record = requires(const T& record, const StrictJson::Value& object) {
    { record.encode() } -> std::convertible_to<std::string>;
    { T::decode(object) } -> std::same_as<T>;
};

// A row type whose decoder reads through a StrictJson::ObjectReader, so a row can be decoded in
// place without a tree.
template <class T>
concept ReaderDecodable = requires(const StrictJson::ObjectReader& reader) {
    { T::decode(reader) } -> std::same_as<T>;
};

// Bytes asked of read(2) at a time.
inline constexpr std::size_t readSize = 16'384;
// Unconsumed bytes the reader may hold after a read; more is an oversized row.
inline constexpr std::size_t maxPendingBytes = 65'536;

// Writes `line` and a line feed at the descriptor's current position with a single write(2).
// Nothing is buffered, so a reader opened on the same file sees every row written so far.
void appendLine(std::string_view line, int fd);

// Encodes the record and appends it as one row. An encoding failure (StrictJson::DecodeError for
// text that is not valid UTF-8) writes nothing; write errors are std::system_error.
template <Record T>
void append(const T& record, int fd) {
    appendLine(record.encode(), fd);
}

// Appends rows to a descriptor it does not own, gathering them into writes of about 64 KiB: a
// list of a million small rows is a few hundred system calls, not a million. Rows reach the file
// only through flush() (or a full buffer), so whoever reads, syncs or closes the file flushes
// first; rows still buffered when the writer goes away are dropped, as a failed job drops its
// lists.
class Writer {
public:
    explicit Writer(int fd) : fd_(fd) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // As JSONLines::append: an encoding failure adds nothing.
    template <Record T>
    void append(const T& record) {
        appendLine(record.encode());
    }
    void appendLine(std::string_view line);
    // Writes every buffered row; a write error is std::system_error and drops them.
    void flush();

private:
    int fd_;
    std::string pending_;
};

// Reads rows back one at a time through a bounded buffer, so no list is ever held in memory
// whole. The reader's own failures are ArchivePipelineError::invalidArchive and are final: every
// later call throws the same error and reads nothing more. Decoding errors
// (StrictJson::DecodeError) and read errors (std::system_error) pass through unwrapped.
class Reader {
public:
    // Opens the file read-only. The final component is not followed: every list is a regular
    // file this system wrote itself, and a symbolic link in its place means someone else put it
    // there. An open failure is the std::system_error of open(2).
    explicit Reader(const std::string& path);
    // Reads from an already open descriptor, starting at its current position.
    explicit Reader(UniqueFd fd);

    Reader(Reader&&) noexcept = default;
    Reader& operator=(Reader&&) noexcept = default;

    // The next record, or nullopt at a clean end of file.
    template <Record T>
    std::optional<T> next() {
        const std::optional<std::string_view> row = nextRow();
        if (!row) {
            return std::nullopt;
        }
        if constexpr (ReaderDecodable<T>) {
            return T::decode(StrictJson::ParsedObject(*row).reader());
        } else {
            return T::decode(StrictJson::parseObject(*row));
        }
    }

    // Succeeds only when no further row follows; a further row, even a blank one, fails.
    template <Record T>
    void requireEnd() {
        if (next<T>()) {
            throw ArchivePipelineError::invalidArchive("unused manifest records");
        }
    }

private:
    // The next row, valid until the reader is called again.
    std::optional<std::string_view> nextRow();
    [[noreturn]] void fail(const char* detail);

    UniqueFd fd_;
    // Bytes read but not yet consumed are pending_[start_, size); the consumed prefix is dropped
    // only before the next read, so taking a row never moves the rest of the buffer.
    std::string pending_;
    std::size_t start_ = 0;
    bool exhausted_ = false;
    // The reader's own failure, once there was one. Reading on after an oversized row would hand
    // out that row, past the bound the buffer exists to keep.
    std::optional<ArchivePipelineError> failure_;
};

}  // namespace tolvane::JSONLines
