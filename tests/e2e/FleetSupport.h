// What the sweep, entry-point and command-line suites share: fleets for the simulator
// and reading back what it logged.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "harness/Error.h"
#include "harness/SimProcess.h"
#include "support/Hex.h"

namespace velqorin::e2e {

using nlohmann::json;

// A plain network box; tests add the fields they are about.
inline json simBox(const std::string& serial, const std::string& mac, const std::string& ip) {
    return {{"serial", serial}, {"mac", mac}, {"currentIp", ip}, {"currentMask", "255.255.255.0"}};
}

inline std::string fleetText(const std::vector<json>& boxes) {
    return json{{"boxes", boxes}}.dump();
}

inline SimOptions simOn(const std::string& lab, const std::string& bridge,
                        const std::vector<json>& boxes) {
    SimOptions o;
    o.lab = lab;
    o.interface = bridge;
    o.fleetJson = fleetText(boxes);
    return o;
}

// The "hex" field of a log line as bytes.
inline std::vector<std::uint8_t> loggedBytes(const json& line) {
    const std::string hex = line.at("hex").get<std::string>();
    auto bytes = velqorin::bytesOfHex(hex);
    if (!bytes) throw HarnessError("bad hex field in the simulator's log: " + hex);
    return std::move(*bytes);
}

// The discovery requests the simulator heard, in order.
inline std::vector<json> requestsHeard(const SimProcess& sim) {
    std::vector<json> requests;
    for (auto& line : sim.received())
        if (line.value("kind", -1) == 0) requests.push_back(std::move(line));
    return requests;
}

// What the simulator sent as box `serial`.
inline std::vector<json> sentBy(const SimProcess& sim, const std::string& serial) {
    std::vector<json> sent;
    for (auto& line : sim.log())
        if (line.value("dir", "") == "tx" && line["box"] == serial) sent.push_back(std::move(line));
    return sent;
}

// "192.0.2.10/24" -> "192.0.2.10"
inline std::string addressPart(const std::string& cidr) { return cidr.substr(0, cidr.find('/')); }

}  // namespace velqorin::e2e
