// Texts that come from boxes or files, made safe for where they are written. A serial
// number or a version text is whatever a station on the LAN put in the frame: on a terminal
// its control characters would move the cursor, retitle the window or clear the screen,
// and in a spreadsheet a cell beginning with '=' runs as a formula.
#pragma once

#include <string>
#include <string_view>

namespace velqorin::cli {

// For a terminal: control characters (C0, DEL, C1) and bytes that are not UTF-8 are
// written as \xNN; everything else, other languages' letters included, as it is.
std::string terminalText(std::string_view text);
// The same for a text of several lines: its line breaks stay.
std::string terminalLines(std::string_view text);

// Valid UTF-8 for a format that needs it: each byte that is not part of a UTF-8 sequence
// becomes U+FFFD; everything else, control characters included, stays as it is.
std::string utf8Text(std::string_view text);

// One CSV field: control characters and bytes that are not UTF-8 written as for a
// terminal, then quoted when it holds a separator or a quote, quotes doubled.
// A field that a spreadsheet would take for a formula (beginning with '=', '+', '-', '@',
// a tab or a carriage return) gets a leading apostrophe, as spreadsheet users write one;
// a plain number such as -2 stays as it is.
std::string csvField(std::string_view text);

}  // namespace velqorin::cli
