#pragma once

#include <QObject>
#include <QPointer>
#include <QThreadPool>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>
#include <vector>

namespace tolvane {

// The application's own worker threads. Long work (captures, packs, unpacks) runs here and never
// on the GUI thread or Qt's global pool, which other parts of Qt use for their own short jobs.
//
// The object also is the context on which finished work is handed back to the GUI thread: it
// lives as long as the application object, and its destructor first waits for the workers, so a
// worker always has a live object to post its outcome to. Outcomes still queued at that point are
// dropped, which runs the destructors of whatever they own (clean-up guards included).
class WorkerPool final : public QObject {
public:
    // The pool of the running QCoreApplication, created on first use as its child.
    static WorkerPool& instance();

    QThreadPool& threads() noexcept { return threads_; }

    ~WorkerPool() override;

private:
    explicit WorkerPool(QObject* parent);

    QThreadPool threads_;
};

// What background work ended with: a value, or the exception it threw.
template <typename T>
struct WorkOutcome {
    std::optional<T> value;
    std::exception_ptr error;
};

// The handle of one piece of background work on the GUI side: it can be asked to stop (the
// stop token handed to the work) and awaited. It finishes once its outcome has been applied on the
// GUI thread, so whoever waits sees the model already updated. Used only on the GUI thread,
// except for the stop token, which the worker reads.
class BackgroundTask {
public:
    void cancel() noexcept { stop_.request_stop(); }
    std::stop_token stopToken() const noexcept { return stop_.get_token(); }
    bool isFinished() const noexcept { return finished_; }

    // Runs `then` once the task has finished: at once when it already has, otherwise on the GUI
    // thread right after the outcome was applied. Never blocks.
    void whenFinished(std::function<void()> then);

    // Called by the code that applied the outcome.
    void finish();

private:
    std::stop_source stop_;
    bool finished_ = false;
    std::vector<std::function<void()>> waiters_;
};

namespace detail {
// Queues `apply` on the pool's thread (the GUI thread); it is destroyed unrun when the
// application goes away first. Safe from a worker of that pool, which the pool outlives.
void postToGuiThread(WorkerPool& pool, std::function<void()> apply);
}  // namespace detail

// Runs work() on the worker pool and hands what it returned or threw to apply(receiver, outcome)
// on the GUI thread. The receiver is held through a QPointer: apply gets nullptr when it was
// destroyed meanwhile, so that apply can still release what the work produced. Nothing escapes
// the worker: every exception becomes the outcome's error.
template <typename Receiver, typename Work, typename Apply>
void runInBackground(Receiver* receiver, Work work, Apply apply) {
    using Result = std::invoke_result_t<Work&>;
    // Shared so that the closures stay copyable whatever the work and apply capture.
    struct State {
        QPointer<Receiver> receiver;
        Work work;
        Apply apply;
        WorkOutcome<Result> outcome;
    };
    auto state = std::make_shared<State>(
        State{QPointer<Receiver>(receiver), std::move(work), std::move(apply), {}});
    WorkerPool& pool = WorkerPool::instance();
    pool.threads().start([&pool, state = std::move(state)]() mutable {
        try {
            state->outcome.value.emplace(state->work());
        } catch (...) {
            state->outcome.error = std::current_exception();
        }
        // The worker keeps no reference: whatever the work and apply own is released on the GUI
        // thread, after the outcome has been applied.
        detail::postToGuiThread(pool, [state = std::move(state)] {
            state->apply(state->receiver.data(), std::move(state->outcome));
        });
    });
}

}  // namespace tolvane
