#include "core/archive/PathMappingValidation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveUnpack.h"
#include "core/archive/PathMappingManifest.h"
#include "core/common/Digest.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using test::TempDir;

const std::string kept =
    PathMappingRecord{1, "o.txt", "b.txt", "file", 1, Sha256::hexOf("x")}.encode();
const std::string header = PathMappingHeader{1, 1, 1}.encode();

// A manifest that is not JSON, or JSON of the wrong shape, is as much the archive's fault as a
// manifest that maps the wrong entry: the unpack fails with invalidArchive and leaves nothing.
TEST(PathMappingValidationTest, MalformedManifestRowsAreInvalidArchives) {
    struct Case {
        const char* name;
        std::string manifest;
    };
    const std::vector<Case> cases = {
        {"header cut short", "{\"version\":1,\"sourceEntryCount\":\n" + kept + "\n"},
        {"header without a count", "{\"version\":1,\"sourceEntryCount\":1}\n" + kept + "\n"},
        {"header that is an array", "[1,1,1]\n" + kept + "\n"},
        {"record cut short", header + "\n{\"ordinal\":1,\"originalPath\":\n"},
        {"record with a text size", header + "\n" + kept.substr(0, kept.find("\"size\":1")) +
                                        "\"size\":\"1\"," + kept.substr(kept.find("\"sha256\"")) +
                                        "\n"},
        {"record with a repeated key",
         header + "\n" + kept.substr(0, kept.size() - 1) + ",\"ordinal\":1}\n"},
        {"record with a negative ordinal",
         header + "\n" + "{\"ordinal\":-1" + kept.substr(kept.find(',')) + "\n"},
    };
    const ArchivePipeline::DestinationPolicyReader roomy = [](const std::string&) {
        return ArchiveDestinationPolicy("ext4", std::nullopt, std::uint64_t{1} << 40, false);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::RawZipBuilder zip;
        zip.addStored("b.txt", "x");
        zip.addStored(std::string(ArchivePipeline::reservedMappingName), c.manifest);
        TempDir root;
        ASSERT_EQ(::mkdir(root.file("out").c_str(), 0700), 0);
        zip.relink().writeTo(root.file("archive.zip"));

        std::optional<ArchivePipelineError> error;
        try {
            ArchivePipeline::unpack(root.file("archive.zip"), root.file("out"), nullptr, {}, roomy);
        } catch (const ArchivePipelineError& caught) {
            error = caught;
        }
        ASSERT_TRUE(error);
        EXPECT_EQ(*error,
                  ArchivePipelineError::invalidArchive("path mapping manifest row is malformed"))
            << error->detail();
        EXPECT_EQ(test::namesIn(root.path()), (std::vector<std::string>{"archive.zip", "out"}));
        EXPECT_TRUE(test::namesIn(root.file("out")).empty());
    }
}

}  // namespace
}  // namespace tolvane
