// Talking to the person at the terminal: secrets without echo, yes/no questions.
#pragma once

#include <optional>
#include <string>

#include "Secret.h"

namespace velqorin::cli {

// A password or code: from the terminal with echo off, or one line of standard input
// when `fromStdin`. Nothing when there is no terminal to ask (and not `fromStdin`), or
// input ended first. Interrupted (Ctrl+C, SIGTERM, a hang-up) while echo is off, the
// terminal gets its echo back before the process ends as the signal asks.
std::optional<Secret> readSecret(const std::string& prompt, bool fromStdin);

// Asks on the terminal; true only for an answer starting with y or o. Without a terminal
// the answer is no.
bool confirm(const std::string& question);

bool haveTerminal();

}  // namespace velqorin::cli
