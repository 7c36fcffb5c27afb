#pragma once

#include <exception>
#include <stop_token>

namespace tolvane {

class Progress;

// The cancellation of the task running an operation. Never shown as a failure.
class OperationCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "operation cancelled"; }
};

// True when either the caller's progress object or the task's stop token asks to stop. Both
// may be absent.
bool isCancelled(const Progress* progress, const std::stop_token& stop) noexcept;

// Throws OperationCancelled when isCancelled(progress, stop).
void throwIfCancelled(const Progress* progress, const std::stop_token& stop);

}  // namespace tolvane
