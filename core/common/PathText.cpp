#include "core/common/PathText.h"

#include <cstdio>
#include <vector>

#include "core/common/Unicode.h"

namespace tolvane::PathText {

namespace {

std::string_view trimmingTrailingSlashes(std::string_view path) noexcept {
    while (!path.empty() && path.back() == '/') {
        path.remove_suffix(1);
    }
    return path;
}

}  // namespace

std::string standardized(std::string_view path) {
    if (path.empty()) {
        return {};
    }
    const bool absolute = path.front() == '/';
    std::vector<std::string_view> components;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view component = path.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == ".") {
            continue;
        }
        if (component == "..") {
            if (!components.empty() && components.back() != "..") {
                components.pop_back();
            } else if (!absolute) {
                components.push_back(component);
            }
            continue;
        }
        components.push_back(component);
    }

    std::string result = absolute ? "/" : "";
    for (std::size_t i = 0; i < components.size(); ++i) {
        if (i > 0) {
            result += '/';
        }
        result += components[i];
    }
    if (result.empty()) {
        result = ".";
    }
    return result;
}

std::string lastComponent(std::string_view path) {
    const std::string_view trimmed = trimmingTrailingSlashes(path);
    if (trimmed.empty()) {
        return path.empty() ? std::string() : std::string("/");
    }
    const std::size_t slash = trimmed.rfind('/');
    return std::string(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

std::string deletingLastComponent(std::string_view path) {
    const std::string_view trimmed = trimmingTrailingSlashes(path);
    if (trimmed.empty()) {
        return path.empty() ? std::string() : std::string("/");
    }
    const std::size_t slash = trimmed.rfind('/');
    if (slash == std::string_view::npos) {
        return {};
    }
    const std::string_view parent = trimmingTrailingSlashes(trimmed.substr(0, slash));
    return parent.empty() ? std::string("/") : std::string(parent);
}

std::string appending(std::string_view path, std::string_view component) {
    if (component.empty()) {
        return std::string(path);
    }
    if (path.empty()) {
        return std::string(component);
    }
    while (!component.empty() && component.front() == '/') {
        component.remove_prefix(1);
    }
    std::string result(trimmingTrailingSlashes(path));
    result += '/';
    result += component;
    return result;
}

std::string pathExtension(std::string_view path) {
    const std::string name = lastComponent(path);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) {
        return {};
    }
    return name.substr(dot + 1);
}

std::string deletingPathExtension(std::string_view path) {
    const std::string extension = pathExtension(path);
    if (extension.empty()) {
        return std::string(path);
    }
    const std::string_view trimmed = trimmingTrailingSlashes(path);
    return std::string(trimmed.substr(0, trimmed.size() - extension.size() - 1));
}

bool isDirectoryURL(std::string_view path) noexcept {
    return !path.empty() && path.back() == '/';
}

std::string escapedForMessage(std::string_view name) {
    std::u32string scalars = Unicode::toUTF32(name);
    std::string shown;
    shown.reserve(name.size());
    std::size_t start = 0;
    for (std::size_t i = 0; i < scalars.size(); ++i) {
        const char32_t scalar = scalars[i];
        if (!Unicode::isControlOrFormat(scalar) && scalar != U'\u2028' && scalar != U'\u2029') {
            continue;
        }
        shown += Unicode::fromUTF32(std::u32string_view(scalars).substr(start, i - start));
        char escape[16];
        std::snprintf(escape, sizeof escape, "\\u{%04X}", static_cast<unsigned>(scalar));
        shown += escape;
        start = i + 1;
    }
    shown += Unicode::fromUTF32(std::u32string_view(scalars).substr(start));
    return shown;
}

}  // namespace tolvane::PathText
