// Where the suite's settings file lies below a configuration folder ($XDG_CONFIG_HOME for
// the user's, the first of $XDG_CONFIG_DIRS for the machine's): the monitor reads both,
// the library the machine's.
#pragma once

namespace velqorin {

inline constexpr const char* kSettingsFileInFolder = "Quarvel/Velqorin Network Monitor.conf";

}  // namespace velqorin
