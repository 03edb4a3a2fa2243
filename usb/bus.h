#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace usb {

// A device found on the bus, as an owned copy of whatever identifies it there (for libudev, the
// sysfs path of the USB device). It stays valid after the device has left the bus.
struct found_device {
    std::string id;
};

// A failure of the bus itself (enumeration, a missing interface, a device without a tty), with a
// whole sentence for the user.
class bus_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The seam between the connection manager and the USB bus: libudev for real modules, the simulated
// bus in the demo and the tests.
class bus {
  public:
    virtual ~bus() = default;

    // The first device with these ids, or nothing when none is attached. Throws bus_error when
    // the search itself fails.
    virtual std::optional<found_device> find_device(std::uint16_t vendor,
                                                    std::uint16_t product) = 0;

    // The device node of the serial port on interface 0 of the device (such as /dev/ttyACM0).
    // Throws bus_error when the device has gone or has no such port.
    virtual std::string serial_port_name(const found_device& device) = 0;
};

}  // namespace usb
