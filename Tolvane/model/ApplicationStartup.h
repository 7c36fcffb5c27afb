#pragma once

namespace tolvane {

// What the program does to its process before it creates the application object and the models.
// The program's main() calls it first.
//
// It raises the soft limit of open files to the hard limit: packing and unpacking walk folder
// trees through one descriptor per level, and a deep tree runs out of the common soft limit of
// 1024 long before any real resource is short.
void prepareApplicationProcess() noexcept;

}  // namespace tolvane
