#pragma once

#include <string_view>

namespace usb {

// What the module answers to a command, by the command's kind. A reply is one line; the module
// may also send lines nobody asked for at that moment (a late answer to an earlier query), and
// only a line of the expected kind answers the command.
enum class reply_kind {
    settings,  // "/get params all": one JSON object
    level,     // "#": one number (carriage returns inside it are dropped, as the logger does)
    trace,     // "@": one JSON array of numbers
    setting,   // "/set ...": a line of the module's own words, so any line that is no other kind
    any,       // a command outside the catalogue: any line
};

// The kind of reply a command of the module's protocol gets.
reply_kind expected_reply(std::string_view command);

// Whether `line` (one reply line, with or without its line end) is a reply of that kind.
bool reply_fits(reply_kind kind, std::string_view line);

}  // namespace usb
