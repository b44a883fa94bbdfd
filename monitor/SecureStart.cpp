#include "SecureStart.h"

#include <sys/auxv.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace velqorin::monitor {

namespace {

constexpr std::string_view kKept[] = {
    // The display and the session's runtime folder.
    "DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "XDG_SESSION_TYPE",
    // Who and where: the settings files, the browser's own search path.
    "HOME", "USER", "LOGNAME", "PATH", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_HOME",
    "XDG_DATA_DIRS", "XDG_CACHE_HOME",
    // The locale.
    "LANG", "LANGUAGE", "TZ",
    // The page opener: the browser starts without the capabilities.
    "BROWSER",
    // Qt choices by name only (plugins still come from Qt's folder), scaling, and the
    // plugin log, which only prints.
    "QT_QPA_PLATFORM", "QT_IM_MODULE", "XMODIFIERS", "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS",
    "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_ENABLE_HIGHDPI_SCALING", "QT_SCALE_FACTOR_ROUNDING_POLICY",
    "QT_FONT_DPI", "QT_DEBUG_PLUGINS",
};

// 0: not such an option; 1: the option, its value apart; 2: the option with `=value`.
int pluginOption(std::string_view arg) {
    if (arg.starts_with("--")) arg.remove_prefix(1);
    for (std::string_view option : {"-platformpluginpath", "-platformtheme"}) {
        if (arg == option) return 1;
        if (arg.starts_with(option) && arg.substr(option.size()).starts_with('=')) return 2;
    }
    return 0;
}

}  // namespace

bool runsInSecureMode() { return ::getauxval(AT_SECURE) != 0; }

bool keptInSecureMode(std::string_view name) {
    if (name.starts_with("LC_")) return true;
    for (std::string_view kept : kKept)
        if (name == kept) return true;
    return false;
}

void confineEnvironment() {
    std::vector<std::string> dropped;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('='));
        if (!keptInSecureMode(name)) dropped.emplace_back(name);
    }
    for (const std::string& name : dropped) ::unsetenv(name.c_str());
}

int withoutPluginArguments(int argc, char** argv) {
    int kept = argc > 0 ? 1 : 0;
    for (int i = 1; i < argc; ++i) {
        switch (pluginOption(argv[i])) {
            case 1: ++i; break;  // and its value
            case 2: break;
            default: argv[kept++] = argv[i];
        }
    }
    if (argc > 0) argv[kept] = nullptr;
    return kept;
}

}  // namespace velqorin::monitor
