#pragma once

#include <functional>
#include <string>

namespace tolvane::test {

// What an action did, as one comparable line: "ok" when it returned; "<code>: <detail>" for an
// ArchivePipelineError (the code by its name, e.g. "invalidArchive: bad header");
// the case for a DriveTransferError ("http(503)"); "cancelled" for OperationCancelled;
// "errno <NAME>" for a std::system_error (e.g. "errno ENOSPC"); "transport <what>" for a
// TransportError; "exception <what>" for anything else.
std::string outcomeOf(const std::function<void()>& action);

// The symbolic name of an errno value ("ENOENT"), or its number.
std::string errnoName(int error);

}  // namespace tolvane::test

namespace tolvane {

class DriveTransferError;
class ArchivePipelineError;

// A Drive error's case as text: "http(503)", "invalidResponse".
std::string caseName(const DriveTransferError& error);
// An archive error's code as text: "invalidArchive".
std::string codeName(const ArchivePipelineError& error);

}  // namespace tolvane
