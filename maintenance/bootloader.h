#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "maintenance/hid.h"

namespace hid {

// Pacing of the bootloader exchange; the defaults are the module's. Tests shorten them.
struct bootloader_timing {
    // Pause after a failed report write, and between acknowledgement reads that brought nothing.
    std::chrono::milliseconds retry_pause{100};
    // Pause after each data report, which gives the bootloader time to store it.
    std::chrono::milliseconds report_pause{1};
    // The longest wait for one acknowledgement; a bootloader that stays silent longer has failed.
    std::chrono::milliseconds ack_timeout{5000};
};

// One connection to the module's HID bootloader, opened at construction from whatever is on the
// bus at that moment. Every operation fails at once, without I/O, when nothing could be opened.
class bootloader {
  public:
    static constexpr std::uint16_t vendor_id = 0x1209;
    static constexpr std::uint16_t product_id = 0xBEBA;

    // Whether construction found and opened a bootloader, and if not, why.
    enum class presence { opened, absent, no_permission, failed };

    bootloader(host& host, bootloader_timing timing = {});

    presence state() const { return state_; }
    // The path of the bootloader that was found (its hidraw node), empty when none was.
    const std::string& path() const { return path_; }

    // Sends one command report; true when it was written whole within 20 attempts.
    bool send_command(std::uint8_t code, std::uint8_t argument);

    // Waits for one acknowledgement (at most the timing's ack_timeout); false on a read error,
    // an expired wait or a connection without a device.
    bool wait_ack(std::uint8_t code);

    // Sends the image in 1024-byte pages, calling progress with the percentage of each page
    // before awaiting its acknowledgement. True when every page was acknowledged.
    bool write_firmware(std::string_view image, const std::function<void(std::int32_t)>& progress);

    // True when a data report was given up after 20 failed writes: the bootloader then holds an
    // image with a hole in it, even if it acknowledged every page.
    bool reports_lost() const { return reports_lost_; }

  private:
    bool write_report(const std::uint8_t* report);

    bootloader_timing timing_;
    presence state_ = presence::absent;
    std::string path_;
    std::unique_ptr<connection> device_;
    bool reports_lost_ = false;
};

}  // namespace hid
