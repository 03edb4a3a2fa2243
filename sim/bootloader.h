#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "maintenance/hid.h"

namespace sim {

// The ways a simulated bootloader can misbehave, for the tests of the transfer's failures.
enum class bootloader_fault {
    none,
    absent,        // never appears on the bus
    fail_on_page,  // the acknowledgement read of page fail_page fails
    silent,        // accepts every report but never acknowledges anything
};

struct bootloader_options {
    bootloader_fault fault = bootloader_fault::none;
    std::size_t fail_page = 0;
};

// The module's HID bootloader (1209:BEBA) as a HID host with at most one device on it. It takes
// commands 4 and 0 (acknowledged with 2), 1024-byte pages of sixteen data reports (each page
// acknowledged with 2) and command 1 (acknowledged with 1), and keeps what it received.
// Acknowledgements are 64-byte input reports whose bytes 0 and 7 carry the code.
class bootloader final : public hid::host {
  public:
    static constexpr const char* node = "/dev/sim-hidraw0";

    explicit bootloader(bootloader_options options = {});
    ~bootloader() override;
    bootloader(const bootloader&) = delete;
    bootloader& operator=(const bootloader&) = delete;

    // Puts the bootloader on the bus with an empty memory, or takes it off. An open connection
    // fails every operation once the bootloader has left.
    void attach();
    void detach();
    bool attached() const;

    // Called once command 1 has been acknowledged, on the thread that wrote it.
    void on_finished(std::function<void()> handler);
    // Waits until command 1 has arrived; false on time-out.
    bool wait_finished(std::chrono::milliseconds timeout) const;

    // What the bootloader received since it was last attached.
    std::string image() const;
    std::uint8_t checksum() const;
    std::vector<std::uint8_t> commands() const;
    std::size_t pages() const;

    std::vector<hid::device_info> enumerate(std::uint16_t vendor, std::uint16_t product) override;
    hid::open_result open(const hid::device_info& device) override;

    // Shared with open connections, which may outlive an attachment.
    struct state;

  private:
    std::shared_ptr<state> state_;
};

}  // namespace sim
