// What a box behind a dial-up link sends to the analyser's XML query, and the ways it can
// misbehave; no I/O here, the program around it owns the sockets and the clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BoxModel.h"

namespace velqorin::xmlbox {

// The query a box expects, byte for byte. Kept apart from the analyser's own copy on
// purpose: the simulator is what tells whether the analyser sends the right bytes.
inline constexpr std::string_view kExpectedRequest =
    "<?xml version=\"1.0\"?><velqorin><read-info/></velqorin>";

enum class Behaviour {
    Whole,     // the answer in one piece, then close
    Split,     // the answer in three pieces 200 ms apart; the box then waits for the close
    Silent,    // reads the query and never answers; waits for the close
    Garbage,   // 4096 random bytes, NULs and '<' included, then close
    Oversize,  // 20000 bytes of filler before the answer, then close
    Close,     // accepts and closes at once, before the query
};

// "whole", "split", ...; nothing for an unknown name.
std::optional<Behaviour> behaviourNamed(std::string_view name);
const char* behaviourName(Behaviour behaviour);

struct Piece {
    std::chrono::milliseconds after;  // since the query was read
    std::string bytes;
};

struct Plan {
    std::vector<Piece> pieces;
    bool closeAfter = true;  // false: wait for the analyser to close
};

// The box's answer: <velqorin> with its MAC, serial (`serialOverride` when given, at any
// length) and software text "M.mmm build B".
std::string answerText(const sim::BoxConfig& box, const std::optional<std::string>& serialOverride);

// What the box sends once it has read the query. `seed` makes the garbage.
Plan planFor(Behaviour behaviour, const std::string& answer, std::uint32_t seed);

}  // namespace velqorin::xmlbox
