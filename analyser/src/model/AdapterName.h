// Adapter names arrive in the capture library's device form, "\Device\NPF_{GUID}" on
// some systems, or bare ("eth0"); the identifier is the same either way.
#pragma once

#include <string_view>

namespace velqorin {

// The part after the last backslash (all of it when there is none), without "NPF_".
constexpr std::string_view adapterIdentifier(std::string_view name) {
    constexpr std::string_view kDevicePrefix = "NPF_";
    if (const auto slash = name.rfind('\\'); slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    if (name.starts_with(kDevicePrefix)) name.remove_prefix(kDevicePrefix.size());
    return name;
}

}  // namespace velqorin
