// What the monitor keeps of its user's environment and arguments when it runs with file
// capabilities. The kernel then starts it in secure mode (AT_SECURE): the loader ignores
// LD_* already, but Qt and the toolkits it may bring in still load code from folders and
// modules named by environment variables (QT_PLUGIN_PATH, GTK_MODULES, ...) and arguments
// (-platformpluginpath), which would run that code with the capabilities.
#pragma once

#include <string_view>

namespace velqorin::monitor {

// True when the kernel started the process in secure mode.
bool runsInSecureMode();

// True for the environment variables a secure-mode start keeps: the display, the locale,
// the user's folders and the monitor's own, none that names code to load.
bool keptInSecureMode(std::string_view name);

// Removes from the environment every variable that keptInSecureMode() does not keep.
void confineEnvironment();

// Removes from argv the options that choose plugin folders or a platform theme
// (-platformpluginpath, -platformtheme, with one or two dashes, and their values);
// returns the new argc, argv[argc] stays null.
int withoutPluginArguments(int argc, char** argv);

}  // namespace velqorin::monitor
