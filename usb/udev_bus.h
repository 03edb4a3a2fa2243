#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "usb/bus.h"

namespace usb {

// The USB bus as libudev sees it (sysfs), without a udev daemon. A found device is identified by
// the sysfs path of its USB device. Each call opens its own udev context, so the object holds no
// state and may be used from any thread.
class udev_bus : public bus {
  public:
    // Prefers a device whose interface 0 carries a tty; without one, the first device with the ids
    // at all (serial_port_name then reports the missing port).
    std::optional<found_device> find_device(std::uint16_t vendor, std::uint16_t product) override;
    std::string serial_port_name(const found_device& device) override;
};

}  // namespace usb
