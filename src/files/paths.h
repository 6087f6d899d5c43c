#pragma once

// Paths as the report names them.

#include <filesystem>
#include <string>
#include <string_view>

namespace framepick {

// The absolute location of a command-line path: relative paths are taken against the working
// directory, nothing else is normalised.
std::filesystem::path absolutePath(const std::string& path);

// The last component of a path as a file URL sees it: trailing separators do not count, a path of
// separators only is "/", and the empty path has no component.
std::string lastPathComponent(std::string_view path);

}  // namespace framepick
