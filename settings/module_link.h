#pragma once

#include <optional>

#include "settings/backup.h"
#include "settings/plan.h"

namespace usb {
class device;
}

namespace settings {

// The module's settings, as its answer to "/get params all" holds them; nothing when the module is
// absent, silent, or answers anything but a JSON object.
std::optional<json> read_module(usb::device& device);

// Sends the commands of every change in order. True when any of them reached the module.
bool send(usb::device& device, const plan& plan);

}  // namespace settings
