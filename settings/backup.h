#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace settings {

// Members keep the order the module gave them, so a backup reads like the module's own answer.
using json = nlohmann::ordered_json;
using wall_clock = std::chrono::system_clock;

inline constexpr std::string_view format_name = "korvaline-settings";
inline constexpr int format_version = 1;

// "2026-12-07T01:02:03Z" and "20261207-010203", both in UTC.
std::string iso_time(wall_clock::time_point when);
std::string file_stamp(wall_clock::time_point when);

// The name a downloaded backup is offered under: korvaline-settings-YYYYMMDD-HHMMSS.json.
std::string download_name(wall_clock::time_point when);

// A JSON object, or nothing: for the module's answer and for uploaded files alike. Texts nested
// deeper than any settings are refused before parsing, so that no later walk over the value can
// exhaust the stack.
std::optional<json> parse_object(std::string_view text);

// The text of a backup file holding these settings (the module's whole answer, members we do not
// know included). The members of `more` (a kit's name and notes) come before the settings.
std::string wrap(const json& settings, wall_clock::time_point created,
                 const json& more = json::object());

// The text of a backup file, as wrap writes it.
std::string file_text(const json& file);

// The settings object of a backup file; nothing when the text is not JSON, not an object of our
// format, of a version we do not know, or holds no settings object.
std::optional<json> unwrap(std::string_view text);

}  // namespace settings
