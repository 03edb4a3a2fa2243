#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/module.h"
#include "usb/bus.h"

namespace sim {

// The USB bus as the simulated module makes it look: the module is on it while it is plugged,
// with its pty as the serial port of interface 0.
class bus final : public usb::bus {
  public:
    explicit bus(module& module) : module_(module) {}

    std::optional<usb::found_device> find_device(std::uint16_t vendor,
                                                 std::uint16_t product) override;
    std::string serial_port_name(const usb::found_device& device) override;

  private:
    module& module_;
};

}  // namespace sim
