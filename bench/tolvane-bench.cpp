// tolvane-bench: runs one pipeline operation the way the application does and prints one JSON
// line with its result and what it cost (wall time, bytes read, peak resident memory).
//
//   tolvane-bench pack [--mode balanced|maximum] [--snapshot] OUT.zip SRC...
//   tolvane-bench unpack ARCHIVE DESTDIR
//
// Exit status 0 with the result, or 1 with {"error", "message", "detail"}.

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <span>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/archive/ArchivePipeline.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveValues.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "core/common/Uuid.h"

namespace tolvane {
namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

// A command line the tool cannot run.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string_view caseName(ArchivePipelineError::Code code) {
    using Code = ArchivePipelineError::Code;
    switch (code) {
        case Code::destinationChanged:
            return "destinationChanged";
        case Code::sourceChanged:
            return "sourceChanged";
        case Code::unsupportedSourceType:
            return "unsupportedSourceType";
        case Code::unsafePath:
            return "unsafePath";
        case Code::duplicatePath:
            return "duplicatePath";
        case Code::unsupportedArchiveEntry:
            return "unsupportedArchiveEntry";
        case Code::invalidArchive:
            return "invalidArchive";
        case Code::destinationFileTooLarge:
            return "destinationFileTooLarge";
        case Code::finalizationFailed:
            return "finalizationFailed";
        case Code::noInputs:
            return "noInputs";
        case Code::destinationIsInsideSource:
            return "destinationIsInsideSource";
        case Code::invalidInputSnapshot:
            return "invalidInputSnapshot";
        case Code::tooManyEntries:
            return "tooManyEntries";
        case Code::insufficientSpace:
            return "insufficientSpace";
        case Code::destinationReadOnly:
            return "destinationReadOnly";
        case Code::destinationUnavailable:
            return "destinationUnavailable";
        case Code::cancelled:
            return "cancelled";
    }
    return "unknown";
}

// Bytes this process has asked read(2) and its relatives for, page cache hits included.
std::uint64_t bytesReadSoFar() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") {
            return value;
        }
    }
    return 0;
}

std::uint64_t peakResidentBytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // Linux reports KiB
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A private folder for the input snapshot, removed with its content when the run ends.
class ScratchFolder {
public:
    ScratchFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tolvane-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        }
        path_ = pattern;
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder() {
        if (!file_.empty()) {
            ::unlink(file_.c_str());
        }
        ::rmdir(path_.c_str());
    }

    // A path inside the folder that is removed with it; only one is used per run.
    const std::string& file(const std::string& name) {
        file_ = path_ + "/" + name;
        return file_;
    }

private:
    std::string path_;
    std::string file_;
};

Json packCommand(std::span<const std::string> arguments) {
    std::optional<ArchiveCompressionMode> mode;
    bool withSnapshot = false;
    std::vector<std::string> paths;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "--snapshot") {
            withSnapshot = true;
        } else if (argument == "--mode") {
            if (++index == arguments.size()) {
                throw UsageError("--mode needs balanced or maximum");
            }
            if (arguments[index] == "balanced") {
                mode = ArchiveCompressionMode::balanced;
            } else if (arguments[index] == "maximum") {
                mode = ArchiveCompressionMode::maximum;
            } else {
                throw UsageError("unknown mode " + arguments[index]);
            }
        } else if (argument.starts_with("--")) {
            throw UsageError("unknown option " + argument);
        } else {
            paths.push_back(argument);
        }
    }
    if (paths.size() < 2) {
        throw UsageError("pack needs OUT.zip and at least one source");
    }
    const std::string archivePath = paths.front();
    const std::vector<std::string> sources(paths.begin() + 1, paths.end());

    const std::uint64_t readBefore = bytesReadSoFar();
    const Clock::time_point start = Clock::now();
    Progress progress;
    std::optional<ScratchFolder> scratch;
    std::optional<ArchiveInputSnapshot> snapshot;
    double captureSeconds = 0;
    if (withSnapshot) {
        scratch.emplace();
        snapshot = ArchivePipeline::captureInputSnapshot(
            sources, scratch->file("selection-" + Uuid::random().text() + ".jsonl"), &progress);
        captureSeconds = secondsSince(start);
    }
    const PackReceipt receipt =
        ArchivePipeline::pack(sources, archivePath, &progress, snapshot, mode);
    const double wallSeconds = secondsSince(start);

    Json result;
    result["outputURL"] = receipt.outputURL;
    result["fileCount"] = receipt.fileCount;
    result["totalBytes"] = receipt.totalBytes;
    result["verified"] = receipt.verified;
    result["archive"] = {{"jobID", receipt.archive.jobID.text()},
                         {"url", receipt.archive.url},
                         {"byteCount", receipt.archive.byteCount},
                         {"sha256", receipt.archive.sha256}};
    result["mode"] =
        mode ? (*mode == ArchiveCompressionMode::balanced ? "balanced" : "maximum") : "destination";
    result["snapshot"] = withSnapshot;
    result["captureSeconds"] = captureSeconds;
    result["wallSeconds"] = wallSeconds;
    result["bytesRead"] = bytesReadSoFar() - readBefore;
    result["peakRSSBytes"] = peakResidentBytes();
    return result;
}

Json unpackCommand(std::span<const std::string> arguments) {
    for (const std::string& argument : arguments) {
        if (argument.starts_with("--")) {
            throw UsageError("unknown option " + argument);
        }
    }
    if (arguments.size() != 2) {
        throw UsageError("unpack needs ARCHIVE and DESTDIR");
    }

    const std::uint64_t readBefore = bytesReadSoFar();
    const Clock::time_point start = Clock::now();
    Progress progress;
    const UnpackReceipt receipt =
        ArchivePipeline::unpack(arguments[0], arguments[1], &progress, std::stop_token{});
    const double wallSeconds = secondsSince(start);

    Json result;
    result["outputURL"] = receipt.outputURL;
    result["fileCount"] = receipt.fileCount;
    result["totalBytes"] = receipt.totalBytes;
    result["verified"] = receipt.verified;
    result["wallSeconds"] = wallSeconds;
    result["bytesRead"] = bytesReadSoFar() - readBefore;
    result["peakRSSBytes"] = peakResidentBytes();
    return result;
}

struct Command {
    std::string_view name;
    std::string_view usage;
    Json (*run)(std::span<const std::string> arguments);
};

constexpr Command commands[] = {
    {"pack", "pack [--mode balanced|maximum] [--snapshot] OUT.zip SRC...", packCommand},
    {"unpack", "unpack ARCHIVE DESTDIR", unpackCommand},
};

std::string usageText() {
    std::string text = "usage:";
    for (const Command& command : commands) {
        text += " tolvane-bench " + std::string(command.usage) + ";";
    }
    text.pop_back();
    return text;
}

int fail(std::string_view error, std::string_view message, std::string_view detail) {
    const Json line = {{"error", error}, {"message", message}, {"detail", detail}};
    std::cout << line.dump(-1, ' ', false, Json::error_handler_t::replace) << std::endl;
    return 1;
}

int run(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
    try {
        if (arguments.empty()) {
            throw UsageError(usageText());
        }
        for (const Command& command : commands) {
            if (arguments.front() == command.name) {
                const Json result = command.run(std::span<const std::string>(arguments).subspan(1));
                std::cout << result.dump(-1, ' ', false, Json::error_handler_t::replace)
                          << std::endl;
                return 0;
            }
        }
        throw UsageError("unknown command " + arguments.front() + "; " + usageText());
    } catch (const ArchivePipelineError& error) {
        return fail(caseName(error.code()), error.errorDescription(), error.detail());
    } catch (const UsageError& error) {
        return fail("usage", "명령 형식이 올바르지 않습니다.", error.what());
    } catch (const std::system_error& error) {
        return fail("posix", "파일 시스템 작업이 실패했습니다.", error.what());
    } catch (const std::exception& error) {
        return fail("internal", "작업을 완료하지 못했습니다.", error.what());
    }
}

}  // namespace
}  // namespace tolvane

int main(int argc, char** argv) {
    // Deep trees hold a descriptor per level while they are walked.
    tolvane::posix::raiseOpenFileLimit();
    return tolvane::run(argc, argv);
}
