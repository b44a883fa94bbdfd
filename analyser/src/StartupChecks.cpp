// What a caller checks before a sweep: the library, raw access, the installed version.
#include <cstring>
#include <exception>

#include "FileRead.h"
#include "Platform.h"
#include "SystemSettings.h"
#include "velqorin/NetworkAnalyse.h"

namespace {

constexpr std::size_t kVersionMax = 998;

// Cutting inside a UTF-8 sequence would leave the monitor a broken character.
std::size_t cutLength(const std::string& value, std::size_t max) {
    if (value.size() <= max) return value.size();
    std::size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(value[n]) & 0xC0u) == 0x80u) --n;
    return n;
}

}  // namespace

bool CVelqorinNetworkAnalyse::CheckVersion() { return true; }

bool CVelqorinNetworkAnalyse::CheckService() {
    try {
        return velqorin::platform().rawSocketError() == 0;
    } catch (const std::exception&) {
        return false;
    }
}

void CVelqorinNetworkAnalyse::GetDistribVersion(char* text) {
    if (text == nullptr) return;
    text[0] = '\0';
    try {
        const auto file =
            velqorin::readFileBounded(velqorin::systemSettingsFile(), velqorin::kSettingsFileLimit);
        if (!file) return;
        const auto value = velqorin::iniGeneralValue(*file, "Version");
        if (!value) return;
        const std::size_t n = cutLength(*value, kVersionMax);
        std::memcpy(text, value->data(), n);
        text[n] = '\0';
    } catch (const std::exception&) {
        text[0] = '\0';
    }
}
