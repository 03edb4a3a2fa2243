#include "usb/named_port_bus.h"

#include "usb/serial_port.h"

namespace usb {

named_port_bus::named_port_bus(std::string port) : port_(std::move(port)) {}

std::optional<found_device> named_port_bus::find_device(std::uint16_t, std::uint16_t) {
    if (auto identity = serial_port_presence(port_)) {
        return found_device{std::move(*identity)};
    }
    return std::nullopt;
}

std::string named_port_bus::serial_port_name(const found_device&) {
    return port_;
}

}  // namespace usb
