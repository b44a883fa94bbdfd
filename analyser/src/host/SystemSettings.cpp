#include "host/SystemSettings.h"

#include <cstdlib>

#include "support/SettingsFile.h"

namespace velqorin {

namespace {

constexpr std::string_view kBlanks = " \t\r\f\v";

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

bool isGeneral(std::string_view section) {
    constexpr std::string_view kGeneral = "general";
    if (section.size() != kGeneral.size()) return false;
    for (std::size_t i = 0; i < section.size(); ++i) {
        const char c = section[i] >= 'A' && section[i] <= 'Z' ? static_cast<char>(section[i] + 32)
                                                               : section[i];
        if (c != kGeneral[i]) return false;
    }
    return true;
}

char unescaped(char c) {
    switch (c) {
        case 'n':
            return '\n';
        case 't':
            return '\t';
        case 'r':
            return '\r';
        default:
            return c;  // \" \\ \' \? and anything unknown stand for themselves
    }
}

// A value as QSettings stores a string: blanks outside quotes trimmed, quotes removed,
// backslash escapes resolved, an unquoted ';' ending the value.
std::string parseValue(std::string_view raw) {
    std::string value;
    std::size_t kept = 0;  // length up to the last character that is not a trailing blank
    bool quoted = false;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '"') {
            quoted = !quoted;
            kept = value.size();
            continue;
        }
        if (c == ';' && !quoted) break;
        if (c == '\\' && i + 1 < raw.size()) c = unescaped(raw[++i]);
        else if (!quoted && value.empty() && kBlanks.find(c) != std::string_view::npos) continue;
        value += c;
        if (quoted || kBlanks.find(c) == std::string_view::npos) kept = value.size();
    }
    value.resize(kept);
    return value;
}

}  // namespace

std::filesystem::path systemConfigFolder() {
    std::string_view dirs;
    if (const char* env = std::getenv("XDG_CONFIG_DIRS")) dirs = env;
    while (!dirs.empty()) {
        const auto colon = dirs.find(':');
        const std::string_view entry = dirs.substr(0, colon);
        // Relative entries are to be ignored; an empty one is a stray colon.
        if (entry.starts_with('/')) return std::filesystem::path(entry);
        if (colon == std::string_view::npos) break;
        dirs.remove_prefix(colon + 1);
    }
    return "/etc/xdg";
}

std::filesystem::path systemSettingsFile() {
    return systemConfigFolder() / kSettingsFileInFolder;
}

std::optional<std::string> iniGeneralValue(std::string_view text, std::string_view key) {
    std::optional<std::string> found;
    bool general = true;  // keys before any section are General's
    while (!text.empty()) {
        const auto eol = text.find('\n');
        const std::string_view line = trim(text.substr(0, eol));
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            const auto close = line.find(']');
            general = isGeneral(trim(line.substr(1, close == std::string_view::npos ? line.npos
                                                                                     : close - 1)));
            continue;
        }
        const auto equals = line.find('=');
        if (!general || equals == std::string_view::npos) continue;
        if (trim(line.substr(0, equals)) == key) found = parseValue(line.substr(equals + 1));
    }
    return found;
}

}  // namespace velqorin
