#include "Tolvane/model/BackgroundWork.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace tolvane {

namespace {
// Captures, packs and unpacks may overlap briefly (an outdated capture runs to its end while a new
// one starts), so the pool never has fewer threads than that.
constexpr int minimumWorkerThreads = 4;
// Sign-in may block for a long time in the browser, the transfer on the network, and link checks
// come in bursts from the panels.
constexpr int waitingWorkerThreads = 16;

QPointer<WorkerPool>& jobPool() {
    static QPointer<WorkerPool> pool;
    return pool;
}

QPointer<WorkerPool>& waitingPool() {
    static QPointer<WorkerPool> pool;
    return pool;
}

}  // namespace

WorkerPool::WorkerPool(QObject* parent, int threadCount) : QObject(parent) {
    threads_.setMaxThreadCount(threadCount);
    // Idle threads are kept: a pack follows a capture within seconds.
    threads_.setExpiryTimeout(-1);
}

WorkerPool::~WorkerPool() {
    // Only at application exit, after the quit protocol has cancelled and awaited the jobs: a
    // worker still running must not outlive the object it posts its outcome to.
    threads_.waitForDone();
}

WorkerPool& WorkerPool::ofApplication(QPointer<WorkerPool>& pool, int threadCount) {
    if (pool.isNull()) {
        auto* app = QCoreApplication::instance();
        if (app == nullptr) {
            // A programming error: models are used only inside a running application.
            std::abort();
        }
        pool = new WorkerPool(app, threadCount);
    }
    return *pool;
}
WorkerPool& WorkerPool::instance() {
    return ofApplication(jobPool(), std::max(minimumWorkerThreads, QThread::idealThreadCount()));
}

WorkerPool& WorkerPool::waiting() {
    return ofApplication(waitingPool(), waitingWorkerThreads);
}

bool WorkerPool::waitForAll(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (QPointer<WorkerPool>* pool : {&jobPool(), &waitingPool()}) {
        if (pool->isNull()) {
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!(*pool)->threads_.waitForDone(
                static_cast<int>(std::max<std::int64_t>(0, left.count())))) {
            return false;
        }
    }
    return true;
}

void BackgroundTask::whenFinished(std::function<void()> then) {
    if (finished_) {
        then();
        return;
    }
    waiters_.push_back(std::move(then));
}

void BackgroundTask::finish() {
    if (finished_) {
        return;
    }
    finished_ = true;
    auto waiters = std::move(waiters_);
    waiters_.clear();
    for (auto& waiter : waiters) {
        waiter();
    }
}

namespace detail {

void postToGuiThread(WorkerPool& pool, std::function<void()> apply) {
    QMetaObject::invokeMethod(&pool, std::move(apply), Qt::QueuedConnection);
}

}  // namespace detail
}  // namespace tolvane
