// The monitor's system-wide settings file, as QSettings lays it out, read without Qt.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velqorin {

inline constexpr std::size_t kSettingsFileLimit = 1u << 20;

// The first absolute folder of XDG_CONFIG_DIRS, or /etc/xdg when it names none.
std::filesystem::path systemConfigFolder();

// <system config folder>/Quarvel/Velqorin Network Monitor.conf
std::filesystem::path systemSettingsFile();

// The value of `key` in the [General] section of INI text (keys above the first section
// belong to it too); the last occurrence wins. Surrounding blanks go, a quoted value
// loses its quotes and escapes, an unquoted ';' starts a comment. Empty when absent.
std::optional<std::string> iniGeneralValue(std::string_view text, std::string_view key);

}  // namespace velqorin
