#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace framepick {

// Creates the directory and its missing parents; an existing directory is success. Returns the
// fatal error text when the directory does not exist afterwards.
std::optional<std::string> createOutputDirectory(const std::filesystem::path& outputUrl);

}  // namespace framepick
