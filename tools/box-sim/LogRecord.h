// One line of the simulator's log: a frame received or sent, and what the boxes made of it.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>

#include "JsonLinesLog.h"

namespace velqorin::sim {

// The fields every line has: t, dir, box, kind, length, src, dst, verdict, credential,
// clearPassword, hex. Fields the frame is too short to hold are null. `serial` empty: no box.
nlohmann::ordered_json logRecord(double seconds, std::string_view direction, std::string_view serial,
                         std::span<const std::uint8_t> frame, std::size_t wireLength,
                         std::string_view verdict);

using tools::logLine;

}  // namespace velqorin::sim
