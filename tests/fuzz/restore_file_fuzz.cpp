// Reads arbitrary text as an uploaded backup and plans its restore against a module's settings, as
// POST "/restore" does. Nothing may crash or throw; a file that is accepted must survive being
// written back out unchanged, a plan may list only values the module does not hold, and a file
// equal to the module's settings plans nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "settings/backup.h"
#include "settings/plan.h"

namespace {

const settings::json& module_settings() {
    static const settings::json module = settings::json::parse(R"({
        "kick": {"scan": 100, "mask": 110, "decay": 120, "threshold": 10, "note": 36, "gain": 32768,
                 "curve": {"p": [[0, 0], [192, 192], [128, 64], [255, 255]]}},
        "hhc": {"timeout": 5, "threshold": 20, "offset": 3},
        "hhc_trig": {"threshold": 1000}})");
    return module;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto wanted = settings::unwrap(text);
    if (!wanted) {
        return 0;
    }
    if (!wanted->is_object() ||
        settings::unwrap(settings::wrap(*wanted, settings::wall_clock::now())) != wanted) {
        std::abort();
    }
    const settings::plan plan = settings::make_plan(*wanted, module_settings());
    for (const settings::change& c : plan.changes) {
        if (settings::holds(module_settings(), c)) {
            std::abort();
        }
        // The route sends both lists as JSON: every value must print.
        static_cast<void>(settings::to_json(c).dump());
    }
    for (const settings::skip& s : plan.skipped) {
        static_cast<void>(settings::to_json(s).dump());
    }
    if (!settings::make_plan(*wanted, *wanted).changes.empty()) {
        std::abort();
    }
    return 0;
}
