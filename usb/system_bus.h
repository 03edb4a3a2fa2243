#pragma once

#include <memory>

#include "usb/bus.h"

namespace usb {

// The bus of the system the program runs on, where a module is found by its USB ids: libudev on
// Linux, SetupAPI on Windows. Defined by the one bus file that the build picks.
std::unique_ptr<bus> system_bus();

}  // namespace usb
