#include "settings/safety_copy.h"

#include "settings/module_link.h"
#include "settings/store.h"

namespace settings {

void safety_copy(usb::device& device, store& store,
                 const std::function<void(std::string)>& publish) {
    const std::string prefix = R"({"event" : "safety_copy", "name": )";
    const auto settings = read_module(device);
    if (!settings) {
        publish(prefix + R"(null, "error": "The module did not answer: no copy was made."})");
        return;
    }
    const auto now = wall_clock::now();
    const auto name = store.save_automatic(wrap(*settings, now), now);
    if (!name) {
        publish(prefix + R"(null, "error": "The copy could not be written."})");
        return;
    }
    // Our own names hold only letters, digits, dashes and dots: nothing to escape.
    publish(prefix + "\"" + *name + "\"}");
}

}  // namespace settings
