#pragma once

#include <QObject>
#include <QPointer>
#include <QThreadPool>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>
#include <vector>

namespace tolvane {

// How long the end of the application waits for work it has asked to stop. Work that stops
// cooperatively ends well within it; work that cannot be stopped (a keyring waiting for the
// user, an eject UDisks2 is carrying out) is left behind when it has passed.
inline constexpr std::chrono::milliseconds stoppedWorkGrace{2000};

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
    // A second pool for work that mostly waits (a sign-in in the browser, Drive on the network,
    // link checks in bursts), with enough threads that none waits behind another or holds up
    // the jobs of instance().
    static WorkerPool& waiting();

    // Waits until the workers of both pools are done, at most `timeout`; false when some still
    // run. For the end of the process, after everything has been asked to stop.
    static bool waitForAll(std::chrono::milliseconds timeout);

    QThreadPool& threads() noexcept { return threads_; }

    ~WorkerPool() override;

private:
    WorkerPool(QObject* parent, int threadCount);
    // The pool in `slot`, made as a child of the running QCoreApplication when there is none.
    static WorkerPool& ofApplication(QPointer<WorkerPool>& slot, int threadCount);

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

// Runs work() on that worker pool and hands what it returned or threw to apply(receiver,
// outcome) on the GUI thread. The receiver is held through a QPointer: apply gets nullptr when it
// was destroyed meanwhile, so that apply can still release what the work produced. Nothing
// escapes the worker: every exception becomes the outcome's error.
template <typename Receiver, typename Work, typename Apply>
void runInBackground(WorkerPool& pool, Receiver* receiver, Work work, Apply apply) {
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

// runInBackground() on the application's job pool.
template <typename Receiver, typename Work, typename Apply>
void runInBackground(Receiver* receiver, Work work, Apply apply) {
    runInBackground(WorkerPool::instance(), receiver, std::move(work), std::move(apply));
}

}  // namespace tolvane
