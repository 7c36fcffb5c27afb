#include "core/archive/ExtractionWorkers.h"

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "core/common/PathText.h"

namespace tolvane {

namespace {

enum class JobState { queued, written, failed, abandoned };

// Thrown inside a worker when the job's thread gives up on the files not yet written.
struct Abandoned {};

std::string_view folderOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

}  // namespace

struct ExtractionWorkers::Job {
    File file;
    bool directory = false;
    std::uint64_t sequence = 0;
    std::size_t worker = 0;
    // Handed over and not yet taken by the worker: those from `taken` on.
    std::vector<std::string> chunks;
    std::size_t taken = 0;
    bool finished = false;
    JobState state = JobState::queued;
    SafeExtractTree::FileHash written;
    std::exception_ptr error;
};

ExtractionWorkers::ExtractionWorkers(SafeExtractTree& tree, std::size_t threads,
                                     std::uint64_t budgetBytes,
                                     SafeExtractTree::CheckCancelled checkCancelled)
    : tree_(tree), budgetBytes_(budgetBytes), checkCancelled_(std::move(checkCancelled)) {
    if (threads == 0) {
        throw std::invalid_argument("extraction needs at least one worker");
    }
    for (std::size_t i = 0; i < threads; ++i) {
        workers_.push_back(std::make_unique<Worker>());
    }
    try {
        for (const std::unique_ptr<Worker>& worker : workers_) {
            worker->thread = std::thread([this, &worker = *worker] { run(worker); });
        }
    } catch (...) {
        stop();
        throw;
    }
}

ExtractionWorkers::~ExtractionWorkers() {
    stop();
}

void ExtractionWorkers::stop() noexcept {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    for (const std::unique_ptr<Worker>& worker : workers_) {
        worker->wake.notify_all();
    }
    for (const std::unique_ptr<Worker>& worker : workers_) {
        if (worker->thread.joinable()) {
            worker->thread.join();
        }
    }
}

void ExtractionWorkers::throwIfFailed() const {
    if (firstError_) {
        std::rethrow_exception(firstError_);
    }
}

ExtractionWorkers::Ticket ExtractionWorkers::start(File file) {
    auto job = std::make_shared<Job>();
    job->file = std::move(file);
    return enqueue(std::move(job));
}

ExtractionWorkers::Ticket ExtractionWorkers::startDirectory(std::string path) {
    auto job = std::make_shared<Job>();
    job->file.path = std::move(path);
    job->directory = true;
    job->finished = true;
    return enqueue(std::move(job));
}

ExtractionWorkers::Ticket ExtractionWorkers::enqueue(std::shared_ptr<Job> job) {
    const std::string_view folder = folderOf(job->file.path);
    {
        const std::lock_guard lock(mutex_);
        throwIfFailed();
        // Archives keep the items of a folder together: the run stays with its worker, and the
        // next folder goes to the worker with the least waiting, the one after the last on a tie.
        if (started_ == 0 || folder != lastFolder_) {
            const std::size_t count = workers_.size();
            std::size_t chosen = (lastWorker_ + 1) % count;
            for (std::size_t step = 2; step <= count; ++step) {
                const std::size_t i = (lastWorker_ + step) % count;
                if (workers_[i]->queue.size() < workers_[chosen]->queue.size()) {
                    chosen = i;
                }
            }
            lastFolder_ = folder;
            lastWorker_ = chosen;
        }
        job->worker = lastWorker_;
        job->sequence = started_++;
        workers_[job->worker]->queue.push_back(job);
    }
    workers_[job->worker]->wake.notify_one();
    return job;
}

void ExtractionWorkers::append(const Ticket& file, std::string_view chunk) {
    std::string copy(chunk);
    {
        std::unique_lock lock(mutex_);
        progressed_.wait(lock, [&] {
            return firstError_ || pendingBytes_ == 0 || pendingBytes_ + copy.size() <= budgetBytes_;
        });
        throwIfFailed();
        if (file->finished) {
            throw std::logic_error("a finished file received more data");
        }
        pendingBytes_ += copy.size();
        file->chunks.push_back(std::move(copy));
    }
    workers_[file->worker]->wake.notify_one();
}

void ExtractionWorkers::finish(const Ticket& file) {
    {
        const std::lock_guard lock(mutex_);
        file->finished = true;
    }
    workers_[file->worker]->wake.notify_one();
}

SafeExtractTree::FileHash ExtractionWorkers::wait(const Ticket& file) {
    std::unique_lock lock(mutex_);
    if (!file->finished) {
        throw std::logic_error("waiting for a file that is still being handed over");
    }
    progressed_.wait(lock, [&] { return file->state != JobState::queued; });
    if (file->state == JobState::written) {
        return file->written;
    }
    if (file->state == JobState::failed) {
        std::rethrow_exception(file->error);
    }
    throwIfFailed();
    throw std::logic_error("a file was abandoned without a failure");
}

void ExtractionWorkers::run(Worker& worker) {
    SafeExtractTree::Cursor cursor;
    for (;;) {
        Ticket job;
        {
            std::unique_lock lock(mutex_);
            worker.wake.wait(lock, [&] { return stopping_ || !worker.queue.empty(); });
            if (stopping_) {
                return;
            }
            job = std::move(worker.queue.front());
            worker.queue.pop_front();
            if (abandons(*job)) {
                // The job will fail as a whole: nothing more is written.
                job->state = JobState::abandoned;
                dropChunks(*job);
                progressed_.notify_all();
                continue;
            }
        }
        write(worker, cursor, *job);
    }
}

void ExtractionWorkers::write(Worker& worker, SafeExtractTree::Cursor& cursor, Job& job) {
    const SafeExtractTree::Producer producer = [&](const SafeExtractTree::ChunkSink& sink) {
        for (;;) {
            std::string chunk;
            {
                std::unique_lock lock(mutex_);
                worker.wake.wait(lock, [&] {
                    return abandons(job) || job.taken < job.chunks.size() || job.finished;
                });
                if (abandons(job)) {
                    throw Abandoned{};
                }
                if (job.taken == job.chunks.size()) {
                    return;  // finished, and every chunk written
                }
                chunk = std::move(job.chunks[job.taken++]);
                pendingBytes_ -= chunk.size();
                // Taken chunks are dropped as they pile up, so the list stays within the budget
                // however long the file.
                if (job.taken * 2 >= job.chunks.size()) {
                    job.chunks.erase(job.chunks.begin(),
                                     job.chunks.begin() + static_cast<std::ptrdiff_t>(job.taken));
                    job.taken = 0;
                }
            }
            progressed_.notify_all();
            // The job's thread may be waiting for this worker; a cancelled job ends here too.
            if (checkCancelled_) {
                checkCancelled_();
            }
            try {
                sink(chunk);
            } catch (const std::system_error& error) {
                // The write itself knows no name; a full volume must still say which file.
                throw std::system_error(error.code(),
                                        "write " + PathText::escapedForMessage(job.file.path));
            }
        }
    };
    // The read-back of a large file stops too when the job is abandoned.
    const SafeExtractTree::CheckCancelled check = [&] {
        {
            const std::lock_guard lock(mutex_);
            if (abandons(job)) {
                throw Abandoned{};
            }
        }
        if (checkCancelled_) {
            checkCancelled_();
        }
    };
    try {
        if (job.directory) {
            tree_.makeDirectory(cursor, job.file.path);
            const std::lock_guard lock(mutex_);
            job.state = JobState::written;
            progressed_.notify_all();
            return;
        }
        const SafeExtractTree::FileHash written =
            tree_.writeFile(cursor, job.file.path, job.file.permissions, job.file.modificationDate,
                            job.file.extendedAttributes, producer, check);
        const std::lock_guard lock(mutex_);
        job.written = written;
        job.state = JobState::written;
    } catch (const Abandoned&) {
        fail(job, nullptr);
    } catch (...) {
        fail(job, std::current_exception());
    }
    progressed_.notify_all();
}

bool ExtractionWorkers::abandons(const Job& job) const {
    // A failure abandons only what was started after it, so an earlier file still ends in its
    // own error, as it would with one thread.
    return stopping_ || (firstError_ && job.sequence > firstErrorSequence_);
}

void ExtractionWorkers::dropChunks(Job& job) {
    for (std::size_t i = job.taken; i < job.chunks.size(); ++i) {
        pendingBytes_ -= job.chunks[i].size();
    }
    std::vector<std::string>().swap(job.chunks);
    job.taken = 0;
}

void ExtractionWorkers::fail(Job& job, std::exception_ptr error) {
    const std::lock_guard lock(mutex_);
    dropChunks(job);
    if (!error) {
        job.state = JobState::abandoned;
        return;
    }
    job.state = JobState::failed;
    job.error = std::move(error);
    if (!firstError_ || job.sequence < firstErrorSequence_) {
        firstError_ = job.error;
        firstErrorSequence_ = job.sequence;
    }
}

}  // namespace tolvane
