#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "usb/bus.h"

namespace usb {

// A module on a serial port that the user names (COM5, /dev/ttyACM0), for one that discovery by
// USB ids does not find: a clone with other ids, or a module behind an adapter. The module counts
// as attached while the port is present; a port that comes back as another device (where the
// system can tell) is another module, whose port the connection manager opens anew.
class named_port_bus : public bus {
  public:
    explicit named_port_bus(std::string port);
    // The port as a device, whatever the ids asked for.
    std::optional<found_device> find_device(std::uint16_t vendor, std::uint16_t product) override;
    std::string serial_port_name(const found_device& device) override;

  private:
    const std::string port_;
};

}  // namespace usb
