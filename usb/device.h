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
    // The longest a late reply is awaited, counted from its command, and the longest a query
    // waits for its first byte however slow the module has been.
    std::chrono::milliseconds late_reply_limit{1000};
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

    // Sends one command and reads nothing back. False when there is no port object. A reply
    // still owed to an earlier query is awaited and dropped first, as before a query.
    bool write(const std::string& command);

    // Sends one command and returns the first line (with its line end) that is a reply of the
    // kind the command gets (usb/reply.h); lines of other kinds are dropped. Nothing when there
    // is no port object or no such line came within the time-out, or within the time the module
    // has lately taken to answer, when that is longer (at most a second).
    std::optional<std::string> query(const std::string& command, std::chrono::milliseconds timeout,
                                     std::chrono::microseconds poll_interval);

    // About how long the module has lately taken to answer, while it answers later than the
    // queries' own time-outs; nothing while it answers in time.
    std::optional<std::chrono::milliseconds> slow() const;

    // Whether the module's port is open now. Never waits for an exchange in progress.
    bool connected() const;

    // Why the port of the module on the bus could not be opened: permission or busy, as
    // SerialPort::problem() tells; none once an open succeeded or the module left the bus.
    open_problem problem() const;

  private:
    void monitor();
    void open_port(bool force);
    // Awaits and drops a reply owed to a query that gave up. Called with the device lock held.
    void settle();
    void learn(std::chrono::milliseconds lateness);

    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace usb
