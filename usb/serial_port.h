#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace usb {

// Why the last open of a port failed, as far as the user can do something about it.
enum class open_problem {
    none,        // the port is open, or was never opened
    permission,  // the node refuses this user (EACCES, EPERM)
    busy,        // another program holds the port (EBUSY, its lock or exclusive mode; on Windows
                 // a COM port that refuses access)
    other,       // missing node, or a port that could not be configured
};

// Timing of one serial port. The defaults reproduce the module's line discipline: a read returns a
// whole burst of output (it ends 50 ms after the last byte) and gives up after 41 s of silence
// (10 ms for each of the 4095 bytes asked for, plus 50 ms). Tests shorten them.
struct serial_timing {
    // Silence after the last byte that ends a burst.
    std::chrono::milliseconds burst_gap{50};
    // The longest a plain read() waits, counted from its start.
    std::chrono::milliseconds read_limit{41'000};
    // How far a burst that has begun may run past the first-byte deadline of read(deadline).
    std::chrono::milliseconds burst_limit{500};
    // A write of n bytes is given write_per_byte * n + write_constant.
    std::chrono::milliseconds write_per_byte{10};
    std::chrono::milliseconds write_constant{50};
};

// One serial port of the host (a tty device node such as /dev/ttyACM0 on Linux, a COM port such as
// COM5 on Windows), opened exclusively and set to 115200 baud, 8N1, raw bytes, no flow control, DTR
// and RTS asserted. It never throws: every failure is one line on standard output and leaves the
// port closed. Not safe for concurrent use; its owner serialises the calls.
class SerialPort {
  public:
    // Remembers the port's name (the device node, or the COM name); does not touch the port.
    explicit SerialPort(std::string_view name, serial_timing timing = {});
    // Closes the port if it is still open, so that its lock is never left behind.
    virtual ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens and configures the port. On failure prints one of "Serial port doesn't exist.",
    // "Unknown error..." (followed by a line naming the cause when it is a missing permission
    // or another program holding the port), "Failed to get serial port state.", "Failed to set
    // serial port state." or "Failed to set serial port timeouts." and leaves the port closed.
    void open();
    // Closes the port; does nothing when it is not open.
    void close();
    bool isOpen() const;
    // Why the last open() left the port closed; none after one that opened it.
    open_problem problem() const;

    // One read of at most 4095 bytes: returns at the earliest of 4095 bytes, burst_gap without a
    // new byte after the first, or read_limit since the call. Empty when nothing arrived, the read
    // failed (such as after an unplug) or the port is not open.
    std::string read();
    // The same, but waits for the first byte only until first_byte_deadline (a deadline already
    // passed still collects the bytes that are waiting), and ends a burst that has begun no later
    // than first_byte_deadline + burst_limit.
    std::string read(std::chrono::steady_clock::time_point first_byte_deadline);

    // Writes the whole buffer, waiting for the driver to take more where it must, for at most
    // write_per_byte * size + write_constant. Failures are not reported.
    void write(std::string_view data);

    const std::string& name() const;

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

// Whether a serial port of this name is on the system now (a character device node on Linux, a
// present COM device on Windows). Nothing when it is not; otherwise a text that tells the device
// behind the name apart from another one plugged in under the same name later, as far as the
// system can tell (a port that comes back as the same device gets the same text).
std::optional<std::string> serial_port_presence(std::string_view name);

}  // namespace usb
