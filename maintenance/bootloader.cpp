#include "maintenance/bootloader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

namespace hid {
namespace {

constexpr std::size_t report_size = 65;  // report id 0, then 64 bytes
constexpr std::size_t chunk_size = 64;
constexpr std::size_t page_size = 1024;
constexpr int write_attempts = 20;
constexpr std::size_t ack_size = 9;
constexpr std::size_t ack_code_byte = 7;

// Diagnostics go out as one write each so that lines of other threads do not cut into them.
void print_line(const std::string& line) {
    std::cout << line + "\n" << std::flush;
}

}  // namespace

bootloader::bootloader(host& host, bootloader_timing timing) : timing_(timing) {
    const auto found = host.enumerate(vendor_id, product_id);
    if (found.empty()) {
        state_ = presence::absent;
        return;
    }
    path_ = found.front().path;
    auto opened = host.open(found.front());
    device_ = std::move(opened.device);
    if (device_) {
        state_ = presence::opened;
    } else if (opened.status == open_status::no_permission) {
        state_ = presence::no_permission;
    } else {
        state_ = presence::failed;
    }
}

bool bootloader::write_report(const std::uint8_t* report) {
    for (int attempt = 0; attempt < write_attempts; ++attempt) {
        if (device_->write({report, report_size}) == static_cast<int>(report_size)) {
            return true;
        }
        std::this_thread::sleep_for(timing_.retry_pause);
    }
    return false;
}

bool bootloader::send_command(std::uint8_t code, std::uint8_t argument) {
    if (!device_) {
        return false;
    }
    std::array<std::uint8_t, report_size> report{};
    std::memcpy(report.data() + 1, "BTLDCMD", 7);
    report[8] = code;
    report[9] = argument;
    return write_report(report.data());
}

bool bootloader::wait_ack(std::uint8_t code) {
    if (!device_) {
        return false;
    }
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + timing_.ack_timeout;
    std::array<std::uint8_t, ack_size> buffer{};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        const int got = device_->read(buffer, std::max(left, std::chrono::milliseconds{0}));
        if (got == static_cast<int>(ack_size) || buffer[ack_code_byte] == code) {
            break;
        }
        // A failed read and an expired wait end alike: the bootloader did not answer.
        if (got < 0 || clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(timing_.retry_pause);
    }
    print_line("ack = " + std::to_string(static_cast<unsigned>(buffer[0])));
    return true;
}

bool bootloader::write_firmware(std::string_view image,
                                const std::function<void(std::int32_t)>& progress) {
    if (!device_) {
        return false;
    }
    // The image always grows by at least one byte of padding: a size that is already a multiple
    // of the page size gains a whole page of zeros, which is what the bootloader expects.
    const std::size_t padded = (image.size() / page_size + 1) * page_size;
    std::string copy(image);
    copy.resize(padded, '\0');
    const std::size_t pages = padded / page_size;

    std::uint8_t checksum = 0;
    std::array<std::uint8_t, report_size> report{};
    for (std::size_t page = 0; page < pages; ++page) {
        for (std::size_t chunk = 0; chunk < page_size / chunk_size; ++chunk) {
            const std::size_t offset = page * page_size + chunk * chunk_size;
            report[0] = 0;
            std::memcpy(report.data() + 1, copy.data() + offset, chunk_size);
            for (std::size_t i = 1; i < report_size; ++i) {
                checksum ^= report[i];
            }
            // A chunk that cannot be written is skipped so the page still completes; the loss
            // is remembered so that the transfer does not report success.
            if (!write_report(report.data())) {
                reports_lost_ = true;
            }
            std::this_thread::sleep_for(timing_.report_pause);
        }
        // In 64 bits, so that no image size can overflow the product.
        const auto percentage = static_cast<std::int32_t>(
            static_cast<std::int64_t>(page) * static_cast<std::int64_t>(page_size * 100) /
            static_cast<std::int64_t>(padded));
        progress(percentage);
        if (!wait_ack(2)) {
            return false;
        }
    }
    print_line("checksum = " + std::to_string(static_cast<unsigned>(checksum)));
    return true;
}

}  // namespace hid
