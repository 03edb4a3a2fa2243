// The judge of the module's reply lines. Oracle: the kinds of reply never overlap (a line is the
// settings, a reading, a trace, a set's answer, or none of them but a set's), a JSON object is
// always the settings, and a line is judged alike with and without its line end.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "usb/reply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    using usb::reply_kind;
    const bool settings = usb::reply_fits(reply_kind::settings, line);
    const bool level = usb::reply_fits(reply_kind::level, line);
    const bool trace = usb::reply_fits(reply_kind::trace, line);
    const bool setting = usb::reply_fits(reply_kind::setting, line);
    if (int(settings) + int(level) + int(trace) > 1 || (setting && (settings || level || trace)) ||
        !usb::reply_fits(reply_kind::any, line)) {
        std::abort();
    }
    if (line.find('\n') == std::string_view::npos) {
        const std::string ended = std::string(line) + "\r\n";
        for (const auto kind :
             {reply_kind::settings, reply_kind::level, reply_kind::trace, reply_kind::setting}) {
            if (usb::reply_fits(kind, ended) != usb::reply_fits(kind, line)) {
                std::abort();
            }
        }
    }
    // The JSON parser takes a NUL byte for the end of its input: such lines are no evidence.
    const auto parsed = nlohmann::json::parse(line, nullptr, false);
    if (line.find('\0') == std::string_view::npos && !parsed.is_discarded() && parsed.is_object() &&
        !settings) {
        std::abort();
    }
    return 0;
}
