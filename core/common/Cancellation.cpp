#include "core/common/Cancellation.h"

#include "core/common/Progress.h"

namespace tolvane {

bool isCancelled(const Progress* progress, const std::stop_token& stop) noexcept {
    return stop.stop_requested() || (progress != nullptr && progress->isCancelled());
}

void throwIfCancelled(const Progress* progress, const std::stop_token& stop) {
    if (isCancelled(progress, stop)) {
        throw OperationCancelled();
    }
}

}  // namespace tolvane
