#include "Tolvane/model/ApplicationStartup.h"

#include "core/common/Posix.h"

namespace tolvane {

void prepareApplicationProcess() noexcept {
    posix::raiseOpenFileLimit();
}

}  // namespace tolvane
