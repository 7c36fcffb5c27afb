#include "Tolvane/model/BackgroundWork.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <cstdlib>

namespace tolvane {

namespace {
// Captures, packs and unpacks may overlap briefly (an outdated capture runs to its end while a new
// one starts), so the pool never has fewer threads than that.
constexpr int minimumWorkerThreads = 4;

QPointer<WorkerPool>& currentPool() {
    static QPointer<WorkerPool> pool;
    return pool;
}
}  // namespace

WorkerPool::WorkerPool(QObject* parent) : QObject(parent) {
    threads_.setMaxThreadCount(std::max(minimumWorkerThreads, QThread::idealThreadCount()));
    // Idle threads are kept: a pack follows a capture within seconds.
    threads_.setExpiryTimeout(-1);
}

WorkerPool::~WorkerPool() {
    // Only at application exit, after the quit protocol has cancelled and awaited the jobs: a
    // worker still running must not outlive the object it posts its outcome to.
    threads_.waitForDone();
}

WorkerPool& WorkerPool::instance() {
    auto& pool = currentPool();
    if (pool.isNull()) {
        auto* app = QCoreApplication::instance();
        if (app == nullptr) {
            // A programming error: models are used only inside a running application.
            std::abort();
        }
        pool = new WorkerPool(app);
    }
    return *pool;
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
