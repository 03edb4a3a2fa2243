#include "settings/backup.h"

#include <ctime>

namespace settings {

namespace {

// Settings nest four levels (pad, curve, point list, point); anything much deeper is no backup.
constexpr int max_depth = 16;

// The calendar of std::chrono rather than gmtime_r, which Windows lacks.
std::string utc_text(wall_clock::time_point when, const char* pattern) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(when);
    const auto day = std::chrono::floor<std::chrono::days>(seconds);
    const std::chrono::year_month_day date(day);
    const std::chrono::hh_mm_ss time(seconds - day);
    std::tm parts{};
    parts.tm_year = static_cast<int>(date.year()) - 1900;
    parts.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
    parts.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
    parts.tm_hour = static_cast<int>(time.hours().count());
    parts.tm_min = static_cast<int>(time.minutes().count());
    parts.tm_sec = static_cast<int>(time.seconds().count());
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, pattern, &parts);
    return std::string(text, length);
}

}  // namespace

std::string iso_time(wall_clock::time_point when) {
    return utc_text(when, "%Y-%m-%dT%H:%M:%SZ");
}

std::string file_stamp(wall_clock::time_point when) {
    return utc_text(when, "%Y%m%d-%H%M%S");
}

std::string download_name(wall_clock::time_point when) {
    return std::string(format_name) + "-" + file_stamp(when) + ".json";
}

std::optional<json> parse_object(std::string_view text) {
    // The parser keeps its own stack, but copying, comparing and writing a value recurse: a value
    // nested deeper than the limit is dropped while parsing and the whole text refused.
    bool too_deep = false;
    json value = json::parse(
        text,
        [&too_deep](int depth, json::parse_event_t, json&) {
            too_deep = too_deep || depth > max_depth;
            return !too_deep;
        },
        false);
    if (too_deep || !value.is_object()) {
        return std::nullopt;
    }
    return value;
}

std::string wrap(const json& settings, wall_clock::time_point created, const json& more) {
    json file = json::object();
    file["format"] = format_name;
    file["version"] = format_version;
    file["created"] = iso_time(created);
    for (const auto& [key, value] : more.items()) {
        file[key] = value;
    }
    file["settings"] = settings;
    return file_text(file);
}

std::string file_text(const json& file) {
    return file.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<json> unwrap(std::string_view text) {
    auto file = parse_object(text);
    if (!file) {
        return std::nullopt;
    }
    const auto format = file->find("format");
    const auto version = file->find("version");
    const auto settings = file->find("settings");
    if (format == file->end() || *format != format_name || version == file->end() ||
        !version->is_number_integer() || *version != format_version || settings == file->end() ||
        !settings->is_object()) {
        return std::nullopt;
    }
    return std::move(*settings);
}

}  // namespace settings
