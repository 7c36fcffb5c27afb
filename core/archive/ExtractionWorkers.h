#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/SafeExtractTree.h"

namespace tolvane {

// Makes the files and directories of an unpack on a few threads of their own while the job's
// thread inflates the archive. The job's thread starts a file, hands over its bytes in order and
// finishes it; a worker writes it with SafeExtractTree::writeFile, which creates, writes, reads
// back and verifies it. The items of one folder go to one worker as long as they come one after
// another, and each new folder to the worker with the least waiting (the next one on a tie): the
// file system creates the entries of a folder one at a time, but fills different folders at once.
//
// What waits for the workers is bounded: the bytes handed over and not yet written stay within
// the budget (a chunk larger than the whole budget goes alone), so memory does not grow with the
// archive.
//
// A failed file keeps its error. Once one has failed, the workers abandon every file started
// after it (the files started before it still end in success or in their own error), and the
// job thread's next call throws the error of the failed file started first. The destructor
// abandons whatever is not written yet and joins the workers; a file being written or read back
// stops at its next block, and what was written of it is left to the removal of the stage.
//
// Every member function belongs to the job's thread.
class ExtractionWorkers {
public:
    struct File {
        std::string path;
        std::optional<std::uint16_t> permissions;
        std::optional<double> modificationDate;
        ArchiveExtendedAttributes::Map extendedAttributes;
    };
    struct Job;
    using Ticket = std::shared_ptr<Job>;

    // checkCancelled runs on the workers before every chunk they write and between the blocks of
    // each read-back; what it throws fails the file like any other error.
    ExtractionWorkers(SafeExtractTree& tree, std::size_t threads, std::uint64_t budgetBytes,
                      SafeExtractTree::CheckCancelled checkCancelled);
    ExtractionWorkers(const ExtractionWorkers&) = delete;
    ExtractionWorkers& operator=(const ExtractionWorkers&) = delete;
    ~ExtractionWorkers();

    Ticket start(File file);
    // A directory, made with SafeExtractTree::makeDirectory; finished as it is.
    Ticket startDirectory(std::string path);
    // Waits while the budget is spent.
    void append(const Ticket& file, std::string_view chunk);
    // No more chunks follow.
    void finish(const Ticket& file);
    // Waits until the finished file is written and verified, or the directory made, and returns
    // what was written (nothing for a directory); throws its error, or the first failure when the
    // item was abandoned after it.
    SafeExtractTree::FileHash wait(const Ticket& file);

private:
    struct Worker {
        std::condition_variable wake;
        std::deque<Ticket> queue;
        std::thread thread;
    };

    void run(Worker& worker);
    void write(Worker& worker, SafeExtractTree::Cursor& cursor, Job& job);
    void fail(Job& job, std::exception_ptr error);
    // Under the lock.
    void dropChunks(Job& job);
    bool abandons(const Job& job) const;
    void throwIfFailed() const;
    void stop() noexcept;
    Ticket enqueue(std::shared_ptr<Job> job);

    SafeExtractTree& tree_;
    const std::uint64_t budgetBytes_;
    const SafeExtractTree::CheckCancelled checkCancelled_;

    mutable std::mutex mutex_;
    // The job thread waits here for room in the budget and for files to end.
    std::condition_variable progressed_;
    std::uint64_t pendingBytes_ = 0;
    std::uint64_t started_ = 0;
    // The folder of the item started last, and its worker.
    std::string lastFolder_;
    std::size_t lastWorker_ = 0;
    bool stopping_ = false;
    // The error of the failed file started first, and its place in the start order.
    std::exception_ptr firstError_;
    std::uint64_t firstErrorSequence_ = 0;
    std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace tolvane
