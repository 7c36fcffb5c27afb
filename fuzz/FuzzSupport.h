#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <typeinfo>

#include "core/common/UniqueFd.h"

// Plain system calls, not the code under test, so a fault there cannot also break the checks.
namespace tolvane::fuzz {

// Aborts, which libFuzzer records as a crash, keeping the input.
[[noreturn]] inline void fail(const char* file, int line, const std::string& message) {
    std::fprintf(stderr, "%s:%d: invariant violated: %s\n", file, line, message.c_str());
    std::abort();
}

#define FUZZ_REQUIRE(condition) \
    ((condition) ? void() : ::tolvane::fuzz::fail(__FILE__, __LINE__, #condition))
// An exception the target's contract does not allow.
#define FUZZ_UNEXPECTED(error)                \
    ::tolvane::fuzz::fail(__FILE__, __LINE__, \
                          std::string(typeid(error).name()) + ": " + (error).what())

inline std::string_view bytesOf(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// An anonymous in-memory file holding `bytes`.
inline UniqueFd memoryFile(std::string_view bytes) {
    UniqueFd fd(::memfd_create("tolvane-fuzz", MFD_CLOEXEC));
    FUZZ_REQUIRE(fd && ::pwrite(fd.get(), bytes.data(), bytes.size(), 0) ==
                           static_cast<ssize_t>(bytes.size()));
    return fd;
}

}  // namespace tolvane::fuzz
