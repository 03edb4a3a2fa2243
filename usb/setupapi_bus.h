#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "usb/bus.h"

namespace usb {

// The serial ports of Windows as SetupAPI lists them (the present devices of the Ports class). The
// module is the port whose hardware id holds its vendor and product id, and interface 0 where the
// id names an interface; a found device is identified by its device instance id. Each call reads
// the list anew, so the object holds no state and may be used from any thread.
class setupapi_bus : public bus {
  public:
    // Prefers a port with a COM name; without one, the first port with the ids at all
    // (serial_port_name then reports the missing name).
    std::optional<found_device> find_device(std::uint16_t vendor, std::uint16_t product) override;
    // The "PortName" of the device's registry key, such as COM5.
    std::string serial_port_name(const found_device& device) override;
};

}  // namespace usb
