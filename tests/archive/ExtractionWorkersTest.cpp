#include "core/archive/ExtractionWorkers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/common/Digest.h"
#include "support/Outcome.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::outcomeOf;

// Files of several folders, empty ones and chunks larger than the whole budget come out whole,
// each with the hash of its own bytes, however the handing over and the writing interleave.
TEST(ExtractionWorkersTest, EveryFileIsWrittenWholeWithinABudget) {
    test::TempDir root;
    SafeExtractTree tree(root.path(), std::nullopt);
    std::map<std::string, std::string> expected;
    {
        ExtractionWorkers workers(tree, 3, 64, {});
        std::vector<std::pair<ExtractionWorkers::Ticket, std::string>> started;
        for (int i = 0; i < 60; ++i) {
            const std::string path = "d" + std::to_string(i % 7) + "/s/f" + std::to_string(i);
            const std::string content = test::randomBytes(i % 5 == 0 ? 0 : i * 13, i);
            const ExtractionWorkers::Ticket file = workers.start({path, 0640, 1e9, {}});
            for (std::size_t at = 0; at < content.size(); at += 100) {
                workers.append(file, std::string_view(content).substr(at, 100));
            }
            workers.finish(file);
            started.emplace_back(file, path);
            expected[path] = content;
        }
        for (const auto& [file, path] : started) {
            const SafeExtractTree::FileHash hash = workers.wait(file);
            EXPECT_EQ(hash, (SafeExtractTree::FileHash{expected[path].size(),
                                                       Sha256::hexOf(expected[path])}));
        }
    }
    for (const auto& [path, content] : expected) {
        EXPECT_EQ(test::readFile(root.file(path)), content) << path;
    }
}

// A failure belongs to its file and to every call after it; files written before it stand, and
// giving up with files still being handed over neither hangs nor writes them.
TEST(ExtractionWorkersTest, AFailureStopsTheRestAndNothingWaitsForever) {
    test::TempDir root;
    test::makeTree(root.path(), {{"b/", ""}, {"b/taken", "old"}});
    SafeExtractTree tree(root.path(), std::nullopt);
    {
        ExtractionWorkers workers(tree, 2, 1 << 20, {});
        const auto first = workers.start({"a/ok", {}, {}, {}});
        workers.append(first, "new");
        workers.finish(first);
        EXPECT_EQ(workers.wait(first).byteCount, 3u);

        const auto clash = workers.start({"b/taken", {}, {}, {}});
        workers.finish(clash);
        EXPECT_EQ(outcomeOf([&] { workers.wait(clash); }), "errno EEXIST");
        EXPECT_EQ(outcomeOf([&] { workers.start({"c/later", {}, {}, {}}); }), "errno EEXIST");
    }
    {
        // A failure abandons the files started after it, never one started before it.
        ExtractionWorkers workers(tree, 2, 1 << 20, {});
        const auto early = workers.start({"x/early", {}, {}, {}});
        workers.append(early, "ea");
        const auto clash = workers.start({"b/taken", {}, {}, {}});  // the other worker
        workers.finish(clash);
        EXPECT_EQ(outcomeOf([&] { workers.wait(clash); }), "errno EEXIST");
        EXPECT_EQ(outcomeOf([&] { workers.append(early, "rly"); }), "errno EEXIST");
        workers.finish(early);
        EXPECT_EQ(workers.wait(early).byteCount, 2u);
    }
    {
        ExtractionWorkers workers(tree, 2, 8, {});
        const auto open = workers.start({"a/half", {}, {}, {}});
        workers.append(open, "12345678");
        workers.start({"e/queued", {}, {}, {}});
    }
    {
        // A cancelled job ends on the worker too, so a job thread waiting for room hears of it.
        std::atomic<bool> cancelled = false;
        ExtractionWorkers workers(tree, 1, 4, [&] {
            if (cancelled) {
                throw ArchivePipelineError::cancelled();
            }
        });
        const auto big = workers.start({"f/big", {}, {}, {}});
        workers.append(big, "1234");
        cancelled = true;
        EXPECT_EQ(outcomeOf([&] {
                      workers.append(big, "5678");
                      workers.append(big, "9");
                      workers.finish(big);
                      workers.wait(big);
                  }),
                  "cancelled: ");
    }
    EXPECT_EQ(test::readFile(root.file("a/ok")), "new");
    EXPECT_EQ(test::readFile(root.file("b/taken")), "old");
    EXPECT_EQ(::access(root.file("c").c_str(), F_OK), -1);
}

}  // namespace
}  // namespace tolvane
