#include "FleetFile.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <unordered_map>

#include "support/Mac.h"

namespace velqorin::sim {

namespace {

using nlohmann::json;

// The fields of one JSON object, read once each; whatever is left over is unknown and an error,
// so a misspelt field never passes for a default.
class Fields {
public:
    Fields(const json& object, std::string owner, std::string prefix = {})
        : object_(object), owner_(std::move(owner)), prefix_(std::move(prefix)) {}

    [[noreturn]] void fail(const std::string& key, const std::string& what) const {
        throw FleetError(owner_ + ", field " + prefix_ + key + ": " + what);
    }

    void setOwner(std::string owner) { owner_ = std::move(owner); }
    const std::string& owner() const { return owner_; }

    const json* get(const std::string& key) {
        const auto it = object_.find(key);
        if (it == object_.end()) return nullptr;
        seen_.insert(key);
        return &*it;
    }

    // A nested object, read with the same rules; its fields are named "outer.inner".
    std::optional<Fields> object(const std::string& key) {
        const json* v = get(key);
        if (!v) return std::nullopt;
        if (!v->is_object()) fail(key, "must be an object");
        return Fields(*v, owner_, prefix_ + key + ".");
    }

    void finish() const {
        for (const auto& item : object_.items())
            if (!seen_.count(item.key())) fail(item.key(), "unknown field");
    }

    template <typename T>
    std::optional<T> integer(const std::string& key, long long min, long long max) {
        const json* v = get(key);
        if (!v) return std::nullopt;
        const std::string range =
            "must be an integer from " + std::to_string(min) + " to " + std::to_string(max);
        if (!v->is_number_integer()) fail(key, range);
        long long n = 0;
        if (v->is_number_unsigned()) {
            const auto u = v->get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(max)) fail(key, range);
            n = static_cast<long long>(u);
        } else {
            n = v->get<std::int64_t>();
        }
        if (n < min || n > max) fail(key, range);
        return static_cast<T>(n);
    }

    std::optional<std::uint8_t> byte(const std::string& key) {
        return integer<std::uint8_t>(key, 0, 255);
    }

    std::optional<std::uint32_t> u32(const std::string& key) {
        return integer<std::uint32_t>(key, 0, std::numeric_limits<std::uint32_t>::max());
    }

    std::optional<Milliseconds> millis(const std::string& key) {
        const auto n = integer<long long>(key, 0, 24LL * 3600 * 1000);
        if (!n) return std::nullopt;
        return Milliseconds(*n);
    }

    std::optional<bool> flag(const std::string& key) {
        const json* v = get(key);
        if (!v) return std::nullopt;
        if (!v->is_boolean()) fail(key, "must be true or false");
        return v->get<bool>();
    }

    // A text that goes into a frame field of `max` characters and a NUL.
    std::optional<std::string> text(const std::string& key, std::size_t max) {
        const json* v = get(key);
        if (!v) return std::nullopt;
        if (!v->is_string()) fail(key, "must be a text");
        std::string s = v->get<std::string>();
        if (s.size() > max)
            fail(key, "has " + std::to_string(s.size()) + " characters, at most " +
                          std::to_string(max) + " fit");
        if (s.find('\0') != std::string::npos) fail(key, "must not contain a NUL character");
        return s;
    }

    std::optional<Ipv4> address(const std::string& key) {
        const auto s = text(key, 64);
        if (!s) return std::nullopt;
        in_addr a{};
        if (inet_pton(AF_INET, s->c_str(), &a) != 1)
            fail(key, "\"" + *s + "\" is not a dotted IPv4 address");
        Ipv4 out;
        std::memcpy(out.data(), &a, 4);  // network order is the written order
        return out;
    }

    std::optional<TokenMode> token(const std::string& key) {
        const auto s = text(key, 64);
        if (!s) return std::nullopt;
        if (*s == "echo") return TokenMode::Echo;
        if (*s == "empty") return TokenMode::Empty;
        if (*s == "foreign") return TokenMode::Foreign;
        fail(key, "must be \"echo\", \"empty\" or \"foreign\"");
    }

private:
    const json& object_;
    std::string owner_;
    std::string prefix_;
    std::set<std::string> seen_;
};

std::uint32_t readVersion(Fields& f) {
    const json* v = f.get("softwareVersion");
    const std::string key = "softwareVersion";
    const std::string forms =
        "must be \"MAJOR.MINOR build N\", {\"major\",\"minor\",\"build\"} or an integer";
    if (v->is_number_integer()) return *f.u32(key);
    SoftwareVersion parts{};
    if (v->is_string()) {
        static const std::regex form(R"(^(\d{1,2})\.(\d{1,4}) build (\d{1,5})$)");
        std::smatch m;
        const std::string s = v->get<std::string>();
        if (!std::regex_match(s, m, form)) f.fail(key, forms);
        parts = {static_cast<unsigned>(std::stoul(m[1])), static_cast<unsigned>(std::stoul(m[2])),
                 static_cast<unsigned>(std::stoul(m[3]))};
    } else if (v->is_object()) {
        auto o = *f.object(key);
        const auto major = o.integer<unsigned>("major", 0, 63);
        const auto minor = o.integer<unsigned>("minor", 0, 1023);
        const auto build = o.integer<unsigned>("build", 0, 65535);
        o.finish();
        if (!major || !minor || !build) f.fail(key, "needs major, minor and build");
        parts = {*major, *minor, *build};
    } else {
        f.fail(key, forms);
    }
    if (parts.major > 63 || parts.minor > 1023 || parts.build > 65535)
        f.fail(key, "major goes to 63, minor to 1023, build to 65535");
    return packVersion(parts);
}

void readSync(Fields& f, SyncSettings& sync) {
    auto o = f.object("sync");
    if (!o) return;
    if (auto v = o->u32("stateIconShown")) sync.stateIconShown = *v;
    if (auto v = o->u32("stateIconAlt")) sync.stateIconAlt = *v;
    if (auto v = o->u32("fault")) sync.fault = *v;
    if (auto v = o->u32("done")) sync.done = *v;
    if (auto v = o->u32("age")) sync.age = *v;
    if (auto v = o->u32("slave")) sync.slave = *v;
    if (auto v = o->integer<std::int32_t>("floor", std::numeric_limits<std::int32_t>::min(),
                                          std::numeric_limits<std::int32_t>::max()))
        sync.floor = *v;
    if (auto v = o->u32("master")) sync.master = *v;
    o->finish();
}

std::optional<ReplyFault> readReplyFault(Fields& f) {
    auto o = f.object("reply");
    if (!o) return std::nullopt;
    ReplyFault fault;
    // An Ethernet header at least, and no more than one untagged frame.
    if (auto v = o->integer<std::size_t>("length", 14, 1514)) fault.length = *v;
    if (auto r = o->object("reservedByte")) {
        fault.reservedIndex = r->integer<std::size_t>("index", 0, kReservedSize - 1);
        const auto value = r->byte("value");
        r->finish();
        if (!fault.reservedIndex || !value) o->fail("reservedByte", "needs index and value");
        fault.reservedValue = *value;
    }
    fault.protocolVersion = o->byte("protocolVersion");
    fault.kind = o->byte("kind");
    o->finish();
    return fault;
}

std::optional<SecondReply> readSecondReply(Fields& f) {
    auto o = f.object("secondReply");
    if (!o) return std::nullopt;
    SecondReply s;
    if (auto v = o->millis("delayMs")) s.delay = *v;
    s.token = o->token("token");
    s.currentIp = o->address("currentIp");
    s.currentMask = o->address("currentMask");
    s.neighbourhood = o->flag("neighbourhood");
    s.addressMode = o->byte("addressMode");
    o->finish();
    return s;
}

AnswerFault readAnswerFault(Fields& f) {
    AnswerFault a;
    auto o = f.object("answer");
    if (!o) return a;
    if (auto v = o->flag("fromOtherMacFirst")) a.fromOtherMacFirst = *v;
    if (auto v = o->flag("discoveryReplyFirst")) a.discoveryReplyFirst = *v;
    if (auto v = o->millis("delayMs")) a.delay = *v;
    o->finish();
    return a;
}

void readLinkKind(Fields& f, Mac& mac) {
    const auto kind = f.text("linkKind", 16);
    if (!kind) return;
    if (*kind == "network") {
        mac[3] &= static_cast<std::uint8_t>(~(kUsbMacBit | kSerialMacBit));
    } else if (*kind == "usb") {
        mac[3] |= kUsbMacBit;
    } else if (*kind == "serial") {
        // The USB bit is tested first, so a serial box must not carry it.
        mac[3] = static_cast<std::uint8_t>((mac[3] | kSerialMacBit) & ~kUsbMacBit);
    } else {
        f.fail("linkKind", "must be \"network\", \"usb\" or \"serial\"");
    }
}

void readBoxData(Fields& f, std::array<std::uint8_t, kBoxDataSize>& data) {
    const auto hex = f.text("boxData", 2 * kBoxDataSize);
    if (!hex) return;
    if (hex->size() != 2 * kBoxDataSize)
        f.fail("boxData", "must be " + std::to_string(2 * kBoxDataSize) + " hexadecimal digits");
    auto digit = [&](char c) -> std::uint8_t {
        if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
        f.fail("boxData", "must be " + std::to_string(2 * kBoxDataSize) + " hexadecimal digits");
    };
    for (std::size_t i = 0; i < kBoxDataSize; ++i)
        data[i] = static_cast<std::uint8_t>(digit((*hex)[2 * i]) << 4 | digit((*hex)[2 * i + 1]));
}

BoxConfig readBox(const json& item, std::size_t index) {
    BoxConfig c;
    c.origin = "boxes[" + std::to_string(index) + "]";
    if (!item.is_object()) throw FleetError(c.origin + ": must be an object");
    Fields f(item, c.origin);

    const auto serial = f.text("serial", kSerialMax);
    if (!serial) f.fail("serial", "missing");
    if (serial->empty()) f.fail("serial", "must not be empty");
    c.serial = *serial;
    c.origin += " (serial " + c.serial + ")";
    f.setOwner(c.origin);

    const auto mac = f.text("mac", 64);
    if (!mac) f.fail("mac", "missing");
    if (const auto bytes = velqorin::parseMac(*mac))
        c.mac = *bytes;
    else
        f.fail("mac", "\"" + *mac + "\" is not a MAC address");
    if (c.mac[0] & 0x01) f.fail("mac", *mac + " is a group address");
    if (c.mac == Mac{}) f.fail("mac", "must not be all zero");
    readLinkKind(f, c.mac);

    if (auto v = f.text("password", kSecretMax)) c.password = *v;
    if (auto v = f.text("unlockCode", kSecretMax)) c.unlockCode = *v;
    if (auto v = f.address("currentIp")) c.currentIp = *v;
    if (auto v = f.address("currentMask")) c.currentMask = *v;
    c.manualIp = f.address("manualIp").value_or(c.currentIp);
    c.manualMask = f.address("manualMask").value_or(c.currentMask);
    c.dhcpIp = f.address("dhcpIp");
    c.dhcpMask = f.address("dhcpMask");
    if (auto v = f.byte("addressMode")) c.addressMode = *v;
    if (auto v = f.byte("linkSpeed")) c.linkSpeed = *v;
    if (auto v = f.flag("neighbourhood")) c.neighbourhood = *v;
    if (item.contains("softwareVersion")) c.softwareVersion = readVersion(f);
    readSync(f, c.sync);
    readBoxData(f, c.boxData);
    c.challenge = f.text("challenge", kChallengeMax);
    if (auto v = f.millis("replyDelayMs")) c.replyDelay = *v;
    if (auto v = f.flag("silent")) c.silent = *v;
    if (auto v = f.flag("keepsSettings")) c.keepsSettings = *v;
    if (auto v = f.flag("renewsChallenge")) c.renewsChallenge = *v;
    if (auto v = f.millis("restartMs")) c.restart = *v;
    if (auto v = f.token("token")) c.token = *v;
    c.reply = readReplyFault(f);
    c.secondReply = readSecondReply(f);
    c.answer = readAnswerFault(f);
    f.finish();
    return c;
}

}  // namespace

std::vector<BoxConfig> parseFleet(std::string_view text, FleetSettings* settings) {
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& e) {
        throw FleetError(std::string("not valid JSON: ") + e.what());
    }
    if (!root.is_object()) throw FleetError("the fleet must be an object {\"boxes\":[...]}");
    for (const auto& item : root.items())
        if (item.key() != "boxes" && item.key() != "lossPercent")
            throw FleetError("unknown field " + item.key());
    if (const auto loss = root.find("lossPercent"); loss != root.end()) {
        if (!loss->is_number() || *loss < 0 || *loss > 100)
            throw FleetError("field lossPercent: must be a number from 0 to 100");
        if (settings) settings->lossPercent = loss->get<double>();
    }
    const auto boxes = root.find("boxes");
    if (boxes == root.end() || !boxes->is_array())
        throw FleetError("field boxes: missing, or not an array");

    std::vector<BoxConfig> out;
    out.reserve(boxes->size());
    for (std::size_t i = 0; i < boxes->size(); ++i) out.push_back(readBox((*boxes)[i], i));
    checkDistinctMacs(out);
    return out;
}

std::vector<BoxConfig> readFleetFile(const std::string& path, FleetSettings* settings) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw FleetError("cannot read fleet file " + path + ": " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw FleetError("cannot read fleet file " + path);
    try {
        return parseFleet(text.str(), settings);
    } catch (const FleetError& e) {
        throw FleetError(path + ": " + e.what());
    }
}

std::vector<BoxConfig> generateBoxes(std::size_t count) {
    if (count < 1 || count > kGenerateMax)
        throw FleetError("can generate 1 to " + std::to_string(kGenerateMax) + " boxes, not " +
                         std::to_string(count));
    std::vector<BoxConfig> boxes(count);
    for (std::size_t i = 0; i < count; ++i) {
        BoxConfig& c = boxes[i];
        c.origin = "generated[" + std::to_string(i) + "]";
        c.serial = std::to_string(100000 + i);
        // The fourth octet stays 0: these are all network boxes.
        c.mac = {0x02, 0xB0, static_cast<std::uint8_t>(i >> 16), 0x00,
                 static_cast<std::uint8_t>((i >> 8) & 0xFF), static_cast<std::uint8_t>(i & 0xFF)};
        c.password = "admin";
        c.currentIp = {198, 51, 100, static_cast<std::uint8_t>(1 + i % 254)};
        c.currentMask = {255, 255, 255, 0};
        c.manualIp = c.currentIp;
        c.manualMask = c.currentMask;
    }
    return boxes;
}

void checkDistinctMacs(const std::vector<BoxConfig>& boxes) {
    std::unordered_map<std::string, const BoxConfig*> seen;
    seen.reserve(boxes.size());
    for (const BoxConfig& c : boxes) {
        const std::string mac = macText(c.mac.data());
        const auto [it, fresh] = seen.emplace(mac, &c);
        if (!fresh)
            throw FleetError(c.origin + ", field mac: " + mac + " is already the MAC of " +
                             it->second->origin);
    }
}

}  // namespace velqorin::sim
