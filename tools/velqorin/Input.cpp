#include "Input.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "velqorin/Compatibility.h"
#include "velqorin/NetworkAnalyse.h"

namespace velqorin::cli {

std::optional<Ipv4> parseIpv4(std::string_view text) {
    Ipv4 address{};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t dot = text.find('.');
        const std::string_view part = i < 3 ? text.substr(0, dot) : text;
        if ((i < 3 && dot == std::string_view::npos) || part.empty() || part.size() > 3)
            return std::nullopt;
        unsigned value = 0;
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (error != std::errc() || end != part.data() + part.size() || value > 255)
            return std::nullopt;
        address[i] = static_cast<std::uint8_t>(value);
        if (i < 3) text.remove_prefix(dot + 1);
    }
    return address;
}

namespace {

std::uint32_t value(const Ipv4& a) { return ipValue(a.data()); }

}  // namespace

bool isSubnetMask(const Ipv4& mask) {
    const std::uint32_t m = value(mask);
    return m != 0 && (~m & (~m + 1)) == 0;  // the inverted mask is 2^n - 1
}

std::optional<std::string> addressProblem(const Ipv4& address, const Ipv4& mask) {
    const std::uint32_t a = value(address);
    const std::uint32_t m = value(mask);
    if (a == 0) return "0.0.0.0 is no address";
    if (a == 0xFFFFFFFFu) return "255.255.255.255 is the broadcast address";
    if (address[0] == 127) return "127.x.x.x is the loopback network";
    if (address[0] >= 224) return "addresses from 224.0.0.0 up are group or reserved addresses";
    if (m != 0xFFFFFFFFu && m != 0xFFFFFFFEu) {
        if ((a & ~m) == 0) return "it is the network address of its subnet";
        if ((a & ~m) == ~m) return "it is the broadcast address of its subnet";
    }
    return std::nullopt;
}

std::optional<ListenAddress> parseListenAddress(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    ListenAddress at;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), at.port);
    if (port.empty() || error != std::errc() || end != port.data() + port.size() || at.port < 1 ||
        at.port > 65535)
        return std::nullopt;
    if (host.empty()) {
        at.host = "0.0.0.0";
        return at;
    }
    unsigned char bytes[16];
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        at.host = std::string(host.substr(1, host.size() - 2));
        if (::inet_pton(AF_INET6, at.host.c_str(), bytes) != 1) return std::nullopt;
        return at;
    }
    at.host = std::string(host);
    if (::inet_pton(AF_INET, at.host.c_str(), bytes) != 1) return std::nullopt;
    return at;
}

bool validFloor(int floor) { return floor != 0 && floor >= -5 && floor <= 5; }

std::vector<CVelqorinBoxOnNetwork*> boxesWithSerial(const CVelqorinNetworkAnalyse& analyser,
                                                    std::string_view serial) {
    std::vector<CVelqorinBoxOnNetwork*> found;
    for (CVelqorinBoxOnNetwork* box = analyser.firstBox; box != nullptr; box = box->next)
        if (fieldText(box->storedRecord.serialNumber) == serial) found.push_back(box);
    return found;
}

StationChoice chooseStation(const std::vector<TAnalyseBuffer>& stations, const std::optional<Mac>& mac) {
    if (!mac) return {stations.size() > 1 ? StationChoice::Outcome::Several : StationChoice::Outcome::Chosen, 0};
    for (std::size_t i = 0; i < stations.size(); ++i)
        if (std::memcmp(stations[i].sourceMac, mac->data(), kMacSize) == 0)
            return {StationChoice::Outcome::Chosen, i};
    return {StationChoice::Outcome::NoSuchMac, 0};
}

std::string stationMacs(const std::vector<TAnalyseBuffer>& stations) {
    std::string text;
    for (const TAnalyseBuffer& s : stations) text += (text.empty() ? "" : ", ") + macText(s.sourceMac);
    return text;
}

std::string adapterOf(const CVelqorinBoxOnNetwork& box) {
    char name[CVelqorinBoxOnNetwork::kAdapterNameSize];
    return box.getInterfaceName(name);
}

BoxLookup lookUpBox(const CVelqorinNetworkAnalyse& analyser, std::string_view serial,
                    const std::optional<Mac>& mac) {
    BoxLookup found;
    const auto boxes = boxesWithSerial(analyser, serial);
    if (boxes.empty()) return found;
    if (boxes.size() > 1) {
        found.outcome = BoxLookup::Outcome::OnSeveralAdapters;
        for (const auto* b : boxes) found.adapters.push_back(adapterOf(*b));
        std::sort(found.adapters.begin(), found.adapters.end());
        found.adapters.erase(std::unique(found.adapters.begin(), found.adapters.end()), found.adapters.end());
        return found;
    }
    found.box = boxes.front();
    found.adapter = adapterOf(*found.box);
    std::vector<TAnalyseBuffer> stations = stationsOf(analyser, *found.box);
    const StationChoice choice = chooseStation(stations, mac);
    switch (choice.outcome) {
        case StationChoice::Outcome::Several:
            found.outcome = BoxLookup::Outcome::FromSeveralStations;
            break;
        case StationChoice::Outcome::NoSuchMac:
            found.outcome = BoxLookup::Outcome::NotFromThatMac;
            break;
        case StationChoice::Outcome::Chosen:
            found.outcome = BoxLookup::Outcome::Found;
            if (choice.index > 0) found.station = stations[choice.index];
            return found;
    }
    found.box = nullptr;
    found.stations = std::move(stations);
    return found;
}

std::vector<TAnalyseBuffer> stationsOf(const CVelqorinNetworkAnalyse& analyser,
                                       const CVelqorinBoxOnNetwork& box) {
    std::vector<TAnalyseBuffer> stations(16);
    const int count = analyser.SerialAnswers(&box, stations.data(), static_cast<int>(stations.size()));
    stations.resize(static_cast<std::size_t>(std::clamp(count, 0, 16)));
    return stations;
}

}  // namespace velqorin::cli
