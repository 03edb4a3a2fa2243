#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace hid {

// One HID device as enumeration reports it. The path is what open() needs; for hidraw it is the
// device node, which is also what a user has to fix when opening it is not permitted.
struct device_info {
    std::string path;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
};

// An open HID device. Closing is the destructor's job, so a connection can never be used after
// it was closed.
class connection {
  public:
    virtual ~connection() = default;

    // Writes one output report, report id first. Returns the number of bytes written, or -1.
    virtual int write(std::span<const std::uint8_t> report) = 0;

    // Reads one input report into buffer (truncated to its size), waiting at most timeout.
    // Returns the number of bytes read, 0 when the time-out expired first, or -1 on error.
    virtual int read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) = 0;
};

// Why open() gave no connection. No permission is told apart because it is the one failure the
// user can fix on Linux (a udev rule for the hidraw node).
enum class open_status { opened, failed, no_permission };

struct open_result {
    std::unique_ptr<connection> device;
    open_status status = open_status::failed;
};

// The seam between the firmware transfer and the HID bus: hidapi for real bootloaders, the
// simulated bootloader in the demo and the tests.
class host {
  public:
    virtual ~host() = default;

    // Every device with these ids currently on the bus, in the bus's order.
    virtual std::vector<device_info> enumerate(std::uint16_t vendor, std::uint16_t product) = 0;

    // Opens one enumerated device.
    virtual open_result open(const device_info& device) = 0;
};

}  // namespace hid
