// Bounded reads of files the library does not own: lease files and settings.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace velqorin {

// At most `limit` bytes from the start of a regular file. Empty when the file cannot be
// opened or is not a regular file (a FIFO or a device would block or never end).
std::optional<std::string> readFileBounded(const std::filesystem::path& path, std::size_t limit);

}  // namespace velqorin
