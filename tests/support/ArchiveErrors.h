#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/JSONLines.h"

namespace tolvane::test {

// The ArchivePipelineError the body throws; fails the test when it throws nothing or another kind.
inline std::optional<ArchivePipelineError> errorOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const ArchivePipelineError& error) {
        return error;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "unexpected exception: " << error.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "nothing was thrown";
    return std::nullopt;
}

// Every row of a JSON-lines file, decoded as T.
template <class T>
std::vector<T> readRows(const std::string& path) {
    JSONLines::Reader reader(path);
    std::vector<T> rows;
    while (std::optional<T> row = reader.next<T>()) {
        rows.push_back(std::move(*row));
    }
    return rows;
}

}  // namespace tolvane::test
