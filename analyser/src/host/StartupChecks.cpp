// What a caller checks before a sweep: the library, raw access, the installed version.
#include <algorithm>
#include <cstring>
#include <string>
#include <exception>

#include "support/FileRead.h"
#include "link/Link.h"
#include "linux/HelperLink.h"
#include "host/Platform.h"
#include "host/SystemSettings.h"
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
        return velqorin::platform().rawSocketError() == 0 || velqorin::processHelperLink().usable();
    } catch (const std::exception&) {
        return false;
    }
}

int CVelqorinNetworkAnalyse::RawAccessProblem(char* text, int size) {
    int problem = RawAccessOk;
    std::string why;
    try {
        const int error = velqorin::platform().rawSocketError();
        velqorin::HelperLink& helper = velqorin::processHelperLink();
        if (error != 0 && !helper.usable()) {
            why = helper.why();
            if (why.find("group velqorin") != std::string::npos)
                problem = RawAccessNotInGroup;
            else if (why.find("CAP_NET_RAW") != std::string::npos)
                problem = RawAccessHelperWithoutCapability;
            else if (why.find("not installed") != std::string::npos)
                problem = RawAccessNotPermitted, why = velqorin::rawAccessProblem(error) + "; " + why;
            else
                problem = RawAccessHelperFailed;
        }
    } catch (const std::exception& e) {
        problem = RawAccessHelperFailed;
        why = e.what();
    }
    if (text != nullptr && size > 0) {
        const std::size_t n = std::min(why.size(), static_cast<std::size_t>(size - 1));
        std::memcpy(text, why.data(), n);
        text[n] = '\0';
    }
    return problem;
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
