#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "usb/bus.h"
#include "usb/serial_port.h"

namespace usb {

// Timing of the connection manager; the defaults are the module's. Tests shorten them.
struct device_timing {
    std::chrono::milliseconds poll_interval{250};
    std::chrono::milliseconds connect_delay{500};
    serial_timing serial{};
};

// The single link to the module: watches the bus for it, owns its serial port while it is
// attached and serialises every exchange on that port.
class device {
  public:
    device(bus& bus, std::uint16_t vendor, std::uint16_t product, device_timing timing = {});
    ~device();
    device(const device&) = delete;
    device& operator=(const device&) = delete;

    // Installs both callbacks under the device lock. A module that is already attached when they
    // are installed gets its port opened and on_connect called once at the monitor's next poll.
    // The callbacks run on the monitor thread with the device lock held: they must not call
    // write() or query().
    void install_callbacks(std::function<void()> on_connect, std::function<void()> on_disconnect);

    // Sends one command and reads nothing back. False when there is no port object.
    bool write(const std::string& command);

    // Sends one command and collects the reply until it ends with a line feed. Nothing when there
    // is no port object or no complete reply came within the time-out.
    std::optional<std::string> query(const std::string& command, std::chrono::milliseconds timeout,
                                     std::chrono::microseconds poll_interval);

    // Whether the module's port is open now. Never waits for an exchange in progress.
    bool connected() const;

    // Why the port of the module on the bus could not be opened: permission or busy, as
    // SerialPort::problem() tells; none once an open succeeded or the module left the bus.
    open_problem problem() const;

  private:
    void monitor();
    void open_port(bool force);

    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace usb
