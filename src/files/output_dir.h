#pragma once

// Making the output directory.

#include <filesystem>

#include "error.h"

namespace framepick {

// Creates the directory and its missing parents; an existing directory is success. The error's
// message is the fatal error text when the directory does not exist afterwards.
Result<> createOutputDirectory(const std::filesystem::path& outputURL);

}  // namespace framepick
