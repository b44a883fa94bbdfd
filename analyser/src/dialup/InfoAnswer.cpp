#include "dialup/InfoAnswer.h"

#include <climits>
#include <cstring>

namespace velqorin {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a value the way the box's firmware writes it and scanf conversions read it:
// blanks before a number are skipped, literals must match exactly, and the first
// mismatch ends the reading (what was not read keeps its zero).
class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    // "%d", or "%Nd" with `width` N (which counts the sign). Saturates at the int range:
    // a box that sends more digits gets a clamped number, never undefined behaviour.
    bool decimal(int& out, std::size_t width = 0) {
        skipSpaces();
        std::size_t used = 0;
        auto room = [&] { return width == 0 || used < width; };
        bool negative = false;
        if (pos_ < text_.size() && room() && (text_[pos_] == '-' || text_[pos_] == '+')) {
            negative = text_[pos_] == '-';
            ++pos_;
            ++used;
        }
        long long value = 0;
        bool any = false;
        while (pos_ < text_.size() && room() && text_[pos_] >= '0' && text_[pos_] <= '9') {
            if (value <= INT_MAX) value = value * 10 + (text_[pos_] - '0');
            ++pos_;
            ++used;
            any = true;
        }
        if (!any) return false;
        if (negative) value = -value;
        out = static_cast<int>(value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : value);
        return true;
    }

    // "%02x": at most two hexadecimal digits.
    bool hexOctet(std::uint8_t& out) {
        skipSpaces();
        int value = 0;
        std::size_t digits = 0;
        while (digits < 2 && pos_ < text_.size() && hexDigit(text_[pos_]) >= 0) {
            value = value * 16 + hexDigit(text_[pos_]);
            ++pos_;
            ++digits;
        }
        if (digits == 0) return false;
        out = static_cast<std::uint8_t>(value);
        return true;
    }

    bool literal(std::string_view expected) {
        if (text_.substr(pos_, expected.size()) != expected) return false;
        pos_ += expected.size();
        return true;
    }

    // A blank in a scanf format matches any run of blanks, none included.
    void skipSpaces() {
        while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

std::array<std::uint8_t, kMacSize> readMac(std::string_view value) {
    std::array<std::uint8_t, kMacSize> mac{};
    Scanner in(value);
    for (std::size_t i = 0; i < mac.size(); ++i) {
        if (i > 0 && !in.literal(":")) break;
        if (!in.hexOctet(mac[i])) break;
    }
    return mac;
}

// "%d.%03d build %d"
SoftwareVersion readSoftware(std::string_view value) {
    int number[3] = {0, 0, 0};
    Scanner in(value);
    if (in.decimal(number[0]) && in.literal(".") && in.decimal(number[1], 3)) {
        in.skipSpaces();
        if (in.literal("build")) {
            in.skipSpaces();
            in.decimal(number[2]);
        }
    }
    // Each part is kept to its own bits, so a build over 65535 cannot spill into the minor
    // version, nor a wide major out of the word.
    return {static_cast<unsigned>(number[0]) & 0x3Fu, static_cast<unsigned>(number[1]) & 0x3FFu,
            static_cast<unsigned>(number[2]) & 0xFFFFu};
}

// The text between `open` and `close`, searched from `from`; `after` is left just past
// `close`. Nothing when either tag is missing.
std::optional<std::string_view> element(std::string_view text, std::size_t from,
                                        std::string_view open, std::string_view close,
                                        std::size_t& after) {
    const std::size_t start = text.find(open, from);
    if (start == std::string_view::npos) return std::nullopt;
    const std::size_t valueStart = start + open.size();
    const std::size_t end = text.find(close, valueStart);
    if (end == std::string_view::npos) return std::nullopt;
    after = end + close.size();
    return text.substr(valueStart, end - valueStart);
}

}  // namespace

std::optional<InfoAnswer> parseInfoAnswer(std::string_view received) {
    const std::string_view text = received.substr(0, received.find('\0'));
    const std::size_t root = text.find("<velqorin>");
    if (root == std::string_view::npos) return std::nullopt;

    std::size_t after = 0;
    const auto mac = element(text, root, "<mac-address>", "</mac-address>", after);
    if (!mac) return std::nullopt;
    const auto serial = element(text, after, "<serial>", "</serial>", after);
    if (!serial) return std::nullopt;
    const auto software = element(text, after, "<software>", "</software>", after);
    if (!software) return std::nullopt;

    InfoAnswer answer;
    answer.mac = readMac(*mac);
    answer.serial = std::string(*serial);
    answer.software = readSoftware(*software);
    return answer;
}

TAnalyseBuffer dialUpRecord(const InfoAnswer& answer, const std::array<std::uint8_t, 4>& remote) {
    TAnalyseBuffer record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(record.sourceMac, answer.mac.data(), kMacSize);
    record.sourceMac[3] |= kSerialMacBit;
    std::memcpy(record.currentIp, remote.data(), remote.size());
    std::memcpy(record.currentMask, kDialUpMask.data(), kDialUpMask.size());
    std::memcpy(record.manualIp, remote.data(), remote.size());
    std::memcpy(record.manualMask, kDialUpMask.data(), kDialUpMask.size());
    record.addressMode = 0;
    setFieldText(record.serialNumber, answer.serial);
    storeLe(record.softwareVersion, packVersion(answer.software));
    storeLe<std::uint32_t>(record.stateIconShown, 0);
    storeLe<std::uint32_t>(record.syncSlave, 0);
    return record;
}

}  // namespace velqorin
