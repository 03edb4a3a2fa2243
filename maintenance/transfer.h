#pragma once

#include <httplib.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "maintenance/bootloader.h"
#include "maintenance/hid.h"
#include "usb/device.h"
#include "web/messaging.h"

namespace firmware {

// Pacing of a transfer; the defaults are the module's. Tests shorten them.
struct pacing {
    // One progress step while the bootloader comes up (20 steps) and after the closing command
    // (60 steps).
    std::chrono::milliseconds step{100};
    hid::bootloader_timing bootloader{};
};

// The event texts of a transfer, byte for byte as the pages expect them.
inline constexpr std::string_view begin_event = R"({"event" : "firmware_upload_begin"})";
inline constexpr std::string_view end_event = R"({"event" : "firmware_upload_end"})";
std::string progress_event(std::int32_t value);
std::string error_event(std::string_view sentence);

// The error sentences of error_event.
inline constexpr std::string_view module_not_connected = "Module not connected.";
inline constexpr std::string_view bootloader_not_found = "Bootloader not found.";
inline constexpr std::string_view bootloader_silent = "Bootloader did not answer.";
inline constexpr std::string_view bootloader_no_permission =
    "No permission to open the bootloader.";

// What a transfer needs of the rest of the application: the module's command link (for "/reset")
// and the event stream. firmware::transfer(job) binds them to usb::device and async::messaging.
// safety_copy, when the composition fills it, keeps a copy of the module's settings before the
// reset; it publishes its own outcome and never stops the transfer.
struct link {
    std::function<bool(const std::string&)> write_command;
    std::function<void(std::string)> publish;
    std::function<void()> safety_copy{};
};

// Turns the percentage of each written page into the progress value 20..39 and publishes it.
class upload_progress {
  public:
    upload_progress(std::int32_t& progress, const std::function<void(std::string)>& publish)
        : progress_(progress), publish_(publish) {}
    void operator()(std::int32_t percentage) const;

  private:
    std::int32_t& progress_;
    const std::function<void(std::string)>& publish_;
};

// One whole transfer of image through the module's HID bootloader, from the two begin events to
// the end event. Returns true when the bootloader acknowledged everything; a failure has then
// been published as an error event before the end event.
bool transfer(std::string_view image, const link& link, hid::host& hid, const pacing& pacing = {});

// The module's reset command goes through the device and the events through the broadcaster.
inline link bind(async::messaging& events, usb::device& device) {
    return {[&device](const std::string& command) { return device.write(command); },
            [&events](std::string text) { events.send(std::move(text)); }};
}

// What an accepted upload hands to the transfer thread: the uploaded file part, the link to the
// broadcaster and the device (see bind), and the HID seam with the pacing to use.
struct firmware_job {
    httplib::MultipartFormData file;
    firmware::link link;
    hid::host& hid;
    pacing pace{};
};

// The body of the transfer thread.
void transfer(const firmware_job& job);

}  // namespace firmware
