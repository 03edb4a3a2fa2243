#include "maintenance/transfer.h"

#include <iostream>
#include <thread>

namespace firmware {
namespace {

constexpr int wait_steps = 20;
constexpr int final_steps = 60;
constexpr std::int32_t final_start = 40;

// The one failure a Linux user can repair: name the node and the fix.
void print_permission_hint(const std::string& path) {
    std::cout << "Cannot open the bootloader at " + path +
                     " (permission denied): install packaging/70-korvaline.rules into "
                     "/etc/udev/rules.d, then unplug and replug the module.\n"
              << std::flush;
}

}  // namespace

std::string progress_event(std::int32_t value) {
    return R"({"event" : "firmware_upload_progress", "value":)" + std::to_string(value) + "}";
}

std::string error_event(std::string_view sentence) {
    return R"({"event" : "firmware_upload_error", "error": ")" + std::string(sentence) + "\"}";
}

void upload_progress::operator()(std::int32_t percentage) const {
    progress_ = 20 + percentage / 5;
    publish_(progress_event(progress_));
}

bool transfer(std::string_view image, const link& link, hid::host& hid, const pacing& pacing) {
    std::int32_t progress = 0;
    link.publish(std::string(begin_event));
    link.publish(std::string(begin_event));

    // The firmware update may leave the module with other settings: keep what it holds now.
    if (link.safety_copy) {
        link.safety_copy();
    }
    if (!link.write_command("/reset")) {
        link.publish(error_event(module_not_connected));
        link.publish(std::string(end_event));
        return false;
    }

    for (std::int32_t i = 0; i < wait_steps; ++i) {
        progress = i;
        link.publish(progress_event(progress));
        std::this_thread::sleep_for(pacing.step);
    }

    progress = 20;
    hid::bootloader loader(hid, pacing.bootloader);
    if (loader.state() == hid::bootloader::presence::no_permission) {
        print_permission_hint(loader.path());
    }

    // Each step is attempted whatever the one before returned, as the bootloader expects the
    // whole sequence; the outcome is gathered for the error event.
    bool answered = loader.send_command(4, 0);
    answered = loader.send_command(0, 0) && answered;
    answered = loader.wait_ack(2) && answered;
    answered = loader.write_firmware(image, upload_progress(progress, link.publish)) && answered;
    answered = loader.send_command(1, 0) && answered;
    answered = loader.wait_ack(1) && answered;
    answered = answered && !loader.reports_lost();

    for (std::int32_t i = 0; i < final_steps; ++i) {
        progress = final_start + i;
        link.publish(progress_event(progress));
        std::this_thread::sleep_for(pacing.step);
    }

    bool ok = false;
    switch (loader.state()) {
        case hid::bootloader::presence::absent:
        case hid::bootloader::presence::failed:
            link.publish(error_event(bootloader_not_found));
            break;
        case hid::bootloader::presence::no_permission:
            link.publish(error_event(bootloader_no_permission));
            break;
        case hid::bootloader::presence::opened:
            if (!answered) {
                link.publish(error_event(bootloader_silent));
            }
            ok = answered;
            break;
    }
    link.publish(std::string(end_event));
    return ok;
}

void transfer(const firmware_job& job) {
    transfer(job.file.content, job.link, job.hid, job.pace);
}

}  // namespace firmware
