#include "sim/bus.h"

namespace sim {

namespace {

// The identity names the plug session, so a module that was replugged in the meantime counts as
// another device, as a real one would after re-enumeration.
std::string identity(std::uint64_t session) {
    return "sim-module/" + std::to_string(session);
}

}  // namespace

std::optional<usb::found_device> bus::find_device(std::uint16_t vendor, std::uint16_t product) {
    if (vendor != module::vendor_id || product != module::product_id) {
        return std::nullopt;
    }
    const auto where = module_.attached();
    if (!where) {
        return std::nullopt;
    }
    return usb::found_device{identity(where->session)};
}

std::string bus::serial_port_name(const usb::found_device& device) {
    const auto where = module_.attached();
    if (!where || identity(where->session) != device.id) {
        throw usb::bus_error("The simulated module is no longer attached.");
    }
    return where->tty;
}

}  // namespace sim
