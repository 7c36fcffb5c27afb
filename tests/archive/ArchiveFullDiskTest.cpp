#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/archive/ArchivePipeline.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveUnpack.h"
#include "core/archive/ArchiveValues.h"
#include "core/archive/ZipArchiveReader.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::namesIn;

using namespace ArchivePipeline;
using Code = ArchivePipelineError::Code;
using test::readFile;
using test::TempDir;
using test::writeFile;

// A tmpfs of a few MiB on a fresh folder, unmounted when the object goes away, however the test
// ends. Mounting needs privileges a test machine may not grant.
class SmallVolume {
public:
    SmallVolume(std::string path, const std::string& size) : path_(std::move(path)) {
        if (::mkdir(path_.c_str(), 0755) != 0) {
            error_ = std::string("mkdir: ") + std::strerror(errno);
        } else if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                           ("size=" + size).c_str()) != 0) {
            error_ = std::string("mount: ") + std::strerror(errno);
        } else {
            mounted_ = true;
        }
    }
    SmallVolume(const SmallVolume&) = delete;
    SmallVolume& operator=(const SmallVolume&) = delete;
    ~SmallVolume() {
        if (mounted_) {
            ::umount2(path_.c_str(), MNT_DETACH);
        }
    }

    bool mounted() const noexcept { return mounted_; }
    const std::string& error() const noexcept { return error_; }
    const std::string& path() const noexcept { return path_; }
    // Blocks in use; a volume nothing was left on uses none.
    std::uint64_t usedBlocks() const {
        struct statvfs status {};
        EXPECT_EQ(::statvfs(path_.c_str(), &status), 0);
        return status.f_blocks - status.f_bfree;
    }

private:
    std::string path_;
    bool mounted_ = false;
    std::string error_;
};

// The error a job ended with, in one form for both kinds: an archive error's code, or ENOSPC
// itself where the volume ran out under a write the space checks had allowed.
struct Failure {
    std::optional<Code> code;
    int errnoValue = 0;
};

std::optional<Failure> failureOf(const std::function<void()>& job) {
    try {
        job();
    } catch (const ArchivePipelineError& error) {
        return Failure{error.code(), 0};
    } catch (const std::system_error& error) {
        return Failure{std::nullopt, error.code().value()};
    }
    return std::nullopt;
}

TEST(ArchiveFullDiskTest, JobsThatDoNotFitFailWithoutATrace) {
    enum class Job { pack, unpack, unpackTrustingAnOverstatedVolume };
    struct Case {
        const char* name;
        Job job;
        const char* volumeSize;
        std::size_t payloadBytes;      // one incompressible file
        bool nearlyFull;               // a file of someone else's leaves only a few KiB free
        std::optional<Code> expected;  // absent: the job fits
    };
    constexpr std::size_t mebibyte = 1024 * 1024;
    const std::vector<Case> cases = {
        {"pack onto a volume smaller than the working reserve", Job::pack, "1m", 300'000, false,
         Code::insufficientSpace},
        {"pack onto a full volume", Job::pack, "1m", 1'000, true, Code::insufficientSpace},
        {"pack outgrowing what the reserve leaves", Job::pack, "20m", 6 * mebibyte, false,
         Code::insufficientSpace},
        {"pack that fits", Job::pack, "24m", 300'000, false, std::nullopt},
        {"unpack larger than the volume", Job::unpack, "1m", 2 * mebibyte, false,
         Code::insufficientSpace},
        {"unpack onto a full volume", Job::unpack, "1m", 1'000, true, Code::insufficientSpace},
        {"unpack that fits only without the reserve", Job::unpack, "4m", 3 * mebibyte, false,
         Code::insufficientSpace},
        // As when something else fills the volume between the space check and the writes.
        {"unpack onto a volume that fills up after the check",
         Job::unpackTrustingAnOverstatedVolume, "2m", 3 * mebibyte, false, Code::insufficientSpace},
        {"unpack that fits", Job::unpack, "8m", 2 * mebibyte, false, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;  // outlives the mount on a folder inside it
        const std::string payload = test::randomBytes(c.payloadBytes, c.payloadBytes);
        writeFile(root.file("payload.bin"), payload);
        const std::vector<std::string> sources{root.file("payload.bin")};
        std::string archive;
        if (c.job != Job::pack) {
            archive = pack(sources, root.file("payload.zip"), nullptr).outputURL;
        }
        const SmallVolume volume(root.file("volume"), c.volumeSize);
        if (!volume.mounted()) {
            GTEST_SKIP() << "cannot mount a tmpfs here (" << volume.error() << ")";
        }
        std::vector<std::string> before;
        if (c.nearlyFull) {
            struct statvfs status {};
            ASSERT_EQ(::statvfs(volume.path().c_str(), &status), 0);
            writeFile(volume.path() + "/other",
                      std::string(status.f_bavail * status.f_frsize - 8 * 1024, 'x'));
            before = {"other"};
        }
        const std::uint64_t usedBefore = volume.usedBlocks();

        std::string output;
        const std::optional<Failure> failure = failureOf([&] {
            switch (c.job) {
                case Job::pack:
                    output = pack(sources, volume.path() + "/out.zip", nullptr).outputURL;
                    break;
                case Job::unpack:
                    output = unpack(archive, volume.path(), nullptr, {}).outputURL;
                    break;
                case Job::unpackTrustingAnOverstatedVolume:
                    output = unpack(archive, volume.path(), nullptr, {}, [](const std::string&) {
                                 return ArchiveDestinationPolicy("tmpfs", std::nullopt,
                                                                 std::uint64_t{1} << 40, false);
                             }).outputURL;
                    break;
            }
        });

        if (!c.expected) {
            ASSERT_FALSE(failure) << "code "
                                  << (failure->code ? static_cast<int>(*failure->code) : -1)
                                  << ", errno " << failure->errnoValue;
            if (c.job == Job::pack) {
                EXPECT_EQ(namesIn(volume.path()), std::vector<std::string>{"out.zip"});
                ZipArchiveReader reader(output, [] {});
                ASSERT_EQ(reader.entryCount(), 1u);
                std::string data;
                reader.extract(
                    0, [] {},
                    [&](std::span<const std::uint8_t> block) {
                        data.append(reinterpret_cast<const char*>(block.data()), block.size());
                    });
                EXPECT_TRUE(data == payload);
            } else {
                EXPECT_EQ(namesIn(volume.path()), std::vector<std::string>{"payload"});
                EXPECT_TRUE(readFile(output + "/payload.bin") == payload);
            }
            continue;
        }
        ASSERT_TRUE(failure) << "the job succeeded";
        if (c.job == Job::unpackTrustingAnOverstatedVolume && !failure->code) {
            // Only the write itself can tell, and it says so in its own words.
            EXPECT_EQ(failure->errnoValue, ENOSPC);
        } else {
            EXPECT_EQ(failure->code, c.expected) << "errno " << failure->errnoValue;
        }
        EXPECT_EQ(namesIn(volume.path()), before);
        EXPECT_EQ(volume.usedBlocks(), usedBefore);
    }
}

}  // namespace
}  // namespace tolvane
