#include "XmlBox.h"

#include <random>

namespace velqorin::xmlbox {

using std::chrono::milliseconds;

namespace {

constexpr std::pair<std::string_view, Behaviour> kNames[] = {
    {"whole", Behaviour::Whole},       {"split", Behaviour::Split},
    {"silent", Behaviour::Silent},     {"garbage", Behaviour::Garbage},
    {"oversize", Behaviour::Oversize}, {"close", Behaviour::Close},
};

}  // namespace

std::optional<Behaviour> behaviourNamed(std::string_view name) {
    for (const auto& [text, behaviour] : kNames)
        if (text == name) return behaviour;
    return std::nullopt;
}

const char* behaviourName(Behaviour behaviour) {
    for (const auto& [text, b] : kNames)
        if (b == behaviour) return text.data();
    return "?";
}

std::string answerText(const sim::BoxConfig& box, const std::optional<std::string>& serialOverride) {
    const SoftwareVersion v = unpackVersion(box.softwareVersion);
    char software[48];
    std::snprintf(software, sizeof software, "%u.%03u build %u", v.major, v.minor, v.build);
    return "<?xml version=\"1.0\"?><velqorin><mac-address>" + sim::macText(box.mac.data()) +
           "</mac-address><serial>" + serialOverride.value_or(box.serial) +
           "</serial><software>" + software + "</software></velqorin>";
}

Plan planFor(Behaviour behaviour, const std::string& answer, std::uint32_t seed) {
    Plan plan;
    switch (behaviour) {
        case Behaviour::Whole:
            plan.pieces.push_back({milliseconds(0), answer});
            break;
        case Behaviour::Split: {
            // </software> is in the last piece: the answer is complete only with it.
            const std::size_t third = answer.size() / 3;
            plan.pieces.push_back({milliseconds(0), answer.substr(0, third)});
            plan.pieces.push_back({milliseconds(200), answer.substr(third, third)});
            plan.pieces.push_back({milliseconds(400), answer.substr(2 * third)});
            plan.closeAfter = false;
            break;
        }
        case Behaviour::Silent:
            plan.closeAfter = false;
            break;
        case Behaviour::Garbage: {
            std::mt19937 random(seed);
            std::string bytes(4096, '\0');
            for (char& c : bytes) c = static_cast<char>(random() & 0xFFu);
            bytes[100] = '\0';
            bytes[200] = '<';
            plan.pieces.push_back({milliseconds(0), std::move(bytes)});
            break;
        }
        case Behaviour::Oversize:
            plan.pieces.push_back({milliseconds(0), std::string(20000, 'x') + answer});
            break;
        case Behaviour::Close:
            break;
    }
    return plan;
}

}  // namespace velqorin::xmlbox
