#pragma once

#include <functional>
#include <string>

namespace usb {
class device;
}

namespace settings {

class store;

// Reads the module's settings and stores them as an automatic copy, then publishes the outcome:
// {"event" : "safety_copy", "name": "<file name>"} when a copy was stored, or
// {"event" : "safety_copy", "name": null, "error": "<sentence>"} when none was. Never fails
// otherwise: a firmware update goes on either way.
void safety_copy(usb::device& device, store& store,
                 const std::function<void(std::string)>& publish);

}  // namespace settings
