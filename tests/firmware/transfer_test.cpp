// The transfer against the simulated bootloader, at a fast pacing: events, pages, the image the
// bootloader received, and every failure ending in an error event before the end event.

#include "maintenance/transfer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "sim/bootloader.h"
#include "tests/firmware/recorder.h"

using namespace std::chrono_literals;
using test::concat;
using test::image_of;
using test::progress_values;
using test::range;

namespace {

const std::string begin(firmware::begin_event);
const std::string end(firmware::end_event);

std::uint8_t xor_of(const std::string& bytes) {
    std::uint8_t x = 0;
    for (const char c : bytes) {
        x ^= static_cast<std::uint8_t>(c);
    }
    return x;
}

// The reset makes the bootloader appear at once: the pacing's 20 steps are only milliseconds.
struct rig {
    explicit rig(sim::bootloader_options options = {})
        : loader(options), events([this] {
              loader.attach();
              return true;
          }) {}
    bool run(const std::string& image) {
        return firmware::transfer(image, events.link(), loader, test::fast_pacing());
    }

    sim::bootloader loader;
    test::recorder events;
};

std::vector<int> page_values(const std::vector<std::string>& events) {
    auto values = progress_values(events);
    // Strip the 0..19 wait and the 40..99 run around the page events.
    values.erase(values.begin(), values.begin() + 20);
    values.erase(values.end() - 60, values.end());
    return values;
}

}  // namespace

TEST(FirmwareTransfer, PageEventsFollowTheImageSize) {
    struct sized {
        std::size_t bytes;
        std::vector<int> pages;
    };
    const sized cases[] = {
        {1, {20}},
        {1024, {20, 30}},
        {8 * 1024 - 1, {20, 22, 25, 27, 30, 32, 35, 37}},
        {20 * 1024 - 1, range(20, 39)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        rig r;
        const std::string image = image_of(c.bytes);
        ASSERT_TRUE(r.run(image));
        const auto events = r.events.events();
        ASSERT_GE(events.size(), 4u);
        EXPECT_EQ(events[0], begin);
        EXPECT_EQ(events[1], begin);
        EXPECT_EQ(events.back(), end);
        EXPECT_EQ(page_values(events), c.pages);
        EXPECT_EQ(progress_values(events), concat(concat(range(0, 19), c.pages), range(40, 99)));
        EXPECT_EQ(events.size(), 2 + 20 + c.pages.size() + 60 + 1) << "no error event";

        // The bootloader got the image, zero padded to whole pages, commands 4, 0 and 1.
        std::string padded = image;
        padded.resize(c.pages.size() * 1024, '\0');
        EXPECT_EQ(r.loader.image(), padded);
        EXPECT_EQ(r.loader.checksum(), xor_of(image));
        EXPECT_EQ(r.loader.commands(), (std::vector<std::uint8_t>{4, 0, 1}));
        EXPECT_EQ(r.events.commands(), (std::vector<std::string>{"/reset"}));
    }
}

TEST(FirmwareTransfer, EventTextsAreByteForByte) {
    EXPECT_EQ(firmware::progress_event(7), R"({"event" : "firmware_upload_progress", "value":7})");
    EXPECT_EQ(begin, R"({"event" : "firmware_upload_begin"})");
    EXPECT_EQ(end, R"({"event" : "firmware_upload_end"})");
    EXPECT_EQ(firmware::error_event(firmware::bootloader_not_found),
              R"({"event" : "firmware_upload_error", "error": "Bootloader not found."})");
}

TEST(FirmwareTransfer, DiagnosticLinesNameAcksAndChecksum) {
    rig r;
    const std::string image = "Korvaline by Talverin Acoustics";
    testing::internal::CaptureStdout();
    ASSERT_TRUE(r.run(image));
    const std::string out = testing::internal::GetCapturedStdout();
    // Command 0, one page, command 1: three acknowledgements, then the checksum of the image.
    EXPECT_EQ(out, "ack = 2\nack = 2\nchecksum = " + std::to_string(xor_of(image)) + "\nack = 1\n");
}

TEST(FirmwareTransferFailure, ModuleAbsentEndsWithAnError) {
    test::recorder events([] { return false; });
    sim::bootloader loader;
    EXPECT_FALSE(firmware::transfer("x", events.link(), loader, test::fast_pacing()));
    EXPECT_EQ(events.events(),
              (std::vector<std::string>{
                  begin, begin, firmware::error_event(firmware::module_not_connected), end}));
}

TEST(FirmwareTransferFailure, NoBootloaderRunsToTheEndWithAnError) {
    rig r({sim::bootloader_fault::absent});
    EXPECT_FALSE(r.run(image_of(3000)));
    const auto events = r.events.events();
    EXPECT_EQ(progress_values(events), concat(range(0, 19), range(40, 99)));
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[events.size() - 2], firmware::error_event(firmware::bootloader_not_found));
    EXPECT_EQ(events.back(), end);
}

TEST(FirmwareTransferFailure, AckLostOnPageThreeStopsThePages) {
    rig r({sim::bootloader_fault::fail_on_page, 3});
    EXPECT_FALSE(r.run(image_of(8 * 1024)));
    const auto events = r.events.events();
    EXPECT_EQ(page_values(events), (std::vector<int>{20, 22, 24, 26}));
    EXPECT_EQ(r.loader.pages(), 4u);
    EXPECT_EQ(r.loader.commands(), (std::vector<std::uint8_t>{4, 0, 1}));
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[events.size() - 2], firmware::error_event(firmware::bootloader_silent));
    EXPECT_EQ(events.back(), end);
}

TEST(FirmwareTransferFailure, SilentBootloaderIsBoundedAndReported) {
    rig r({sim::bootloader_fault::silent});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(r.run(image_of(5000)));
    // Three waits of 300 ms at most (command 0, the first page, command 1), with room for a
    // loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    const auto events = r.events.events();
    EXPECT_EQ(page_values(events), (std::vector<int>{20}));
    EXPECT_EQ(events[events.size() - 2], firmware::error_event(firmware::bootloader_silent));
    EXPECT_EQ(events.back(), end);
}

// A host whose only device cannot be opened for lack of permission, as a hidraw node without the
// udev rule.
class forbidding_host final : public hid::host {
  public:
    std::vector<hid::device_info> enumerate(std::uint16_t vendor, std::uint16_t product) override {
        return {{"/dev/hidraw7", vendor, product}};
    }
    hid::open_result open(const hid::device_info&) override {
        return {nullptr, hid::open_status::no_permission};
    }
};

TEST(FirmwareTransferFailure, NoPermissionNamesTheNodeAndTheFix) {
    test::recorder events;
    forbidding_host host;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(firmware::transfer("x", events.link(), host, test::fast_pacing()));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, testing::HasSubstr("/dev/hidraw7"));
    EXPECT_THAT(out, testing::HasSubstr("packaging/70-korvaline.rules"));
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
    const auto all = events.events();
    EXPECT_EQ(all[all.size() - 2], firmware::error_event(firmware::bootloader_no_permission));
    EXPECT_EQ(all.back(), end);
}

// A bootloader that takes no data report at all: every chunk is given up after 20 attempts, and
// the transfer must not call that a success even though every page was acknowledged.
class refusing_connection final : public hid::connection {
  public:
    int write(std::span<const std::uint8_t> report) override {
        const bool command = std::equal(report.begin() + 1, report.begin() + 8, "BTLDCMD");
        if (command && (report[8] == 0 || report[8] == 1)) {
            ++pending_;
        }
        return command ? static_cast<int>(report.size()) : 0;
    }
    int read(std::span<std::uint8_t> buffer, std::chrono::milliseconds) override {
        std::fill(buffer.begin(), buffer.end(), 2);
        return static_cast<int>(buffer.size());
    }
    int pending_ = 0;
};

class refusing_host final : public hid::host {
  public:
    std::vector<hid::device_info> enumerate(std::uint16_t vendor, std::uint16_t product) override {
        return {{"refusing", vendor, product}};
    }
    hid::open_result open(const hid::device_info&) override {
        return {std::make_unique<refusing_connection>(), hid::open_status::opened};
    }
};

TEST(FirmwareTransferFailure, LostDataReportsAreNotASuccess) {
    test::recorder events;
    refusing_host host;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(firmware::transfer("x", events.link(), host, test::fast_pacing()));
    testing::internal::GetCapturedStdout();
    const auto all = events.events();
    EXPECT_EQ(all[all.size() - 2], firmware::error_event(firmware::bootloader_silent));
}
