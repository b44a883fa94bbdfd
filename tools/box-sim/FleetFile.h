// The boxes a simulator run emulates: read from a JSON fleet file, or made up in bulk.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "BoxModel.h"

namespace velqorin::sim {

// A fleet that cannot be used; the message names the box and the field at fault.
class FleetError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a fleet file says of the whole run rather than of one box.
struct FleetSettings {
    double lossPercent = 0;  // of the frames heard, and of those sent, lost on the way
};

// The text of a fleet file: {"boxes":[{...}, ...], "lossPercent": P}. Throws FleetError.
std::vector<BoxConfig> parseFleet(std::string_view json, FleetSettings* settings = nullptr);

// Reads and parses the file at `path`; messages start with the path. Throws FleetError.
std::vector<BoxConfig> readFleetFile(const std::string& path, FleetSettings* settings = nullptr);

inline constexpr std::size_t kGenerateMax = 262144;

// `count` plain network boxes (1 to kGenerateMax): serials from 100000, MACs
// 02:b0:0x:00:xx:xx, addresses 198.51.100.1 to .254 in turn, password "admin".
std::vector<BoxConfig> generateBoxes(std::size_t count);

// Throws FleetError when two boxes share a MAC: nothing could tell their frames apart.
void checkDistinctMacs(const std::vector<BoxConfig>& boxes);

}  // namespace velqorin::sim
