#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <typeinfo>

#include "core/common/UniqueFd.h"

// Helpers shared by the fuzz targets. They use plain system calls rather than the code under
// test, so a fault there cannot hide itself by also breaking the checks.
namespace tolvane::fuzz {

// Ends the run the way libFuzzer records as a crash, saving the input that caused it.
[[noreturn]] inline void fail(const char* file, int line, const std::string& message) {
    std::fprintf(stderr, "%s:%d: invariant violated: %s\n", file, line, message.c_str());
    std::abort();
}

#define FUZZ_REQUIRE(condition) \
    ((condition) ? void() : ::tolvane::fuzz::fail(__FILE__, __LINE__, #condition))
// For an exception the target's contract does not allow.
#define FUZZ_UNEXPECTED(error)                \
    ::tolvane::fuzz::fail(__FILE__, __LINE__, \
                          std::string(typeid(error).name()) + ": " + (error).what())

inline std::string_view bytesOf(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// An anonymous in-memory file holding `bytes`, positioned at its start.
inline UniqueFd memoryFile(std::string_view bytes) {
    UniqueFd fd(::memfd_create("tolvane-fuzz", MFD_CLOEXEC));
    FUZZ_REQUIRE(fd && ::pwrite(fd.get(), bytes.data(), bytes.size(), 0) ==
                           static_cast<ssize_t>(bytes.size()));
    return fd;
}

}  // namespace tolvane::fuzz
