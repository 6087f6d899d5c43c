#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace framepick {

// Writes the bytes to a temporary file beside the target, then renames it over the target: the
// target is either untouched or whole. A link at the target is replaced, not followed. Returns
// the system's description of the first error, or nothing on success.
std::optional<std::string> writeFileAtomically(const std::filesystem::path& target,
                                               std::span<const uint8_t> bytes);

}  // namespace framepick
