// The firmware update against the simulated bootloader at a fast pacing: what reaches it and the
// page, every failure's error, and POST "/firmware" (port 5710): one at a time, no oversized body.

#include "maintenance/transfer.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <future>
#include <latch>
#include <numeric>

#include "maintenance/firmware_route.h"
#include "sim/bootloader.h"
#include "tests/support/firmware_link.h"
#include "tests/support/test_server.h"

using namespace std::chrono_literals;

namespace {

const std::string good = "header Korvaline firmware by Talverin Acoustics";
const std::string end(firmware::end_event);

TEST(FirmwareTransfer, SendsTheImagePageByPageWithItsProgress) {
    const std::vector<std::pair<std::size_t, std::vector<int>>> sizes = {
        {1, {20}}, {7 * 1024, {20, 22, 25, 27, 30, 32, 35, 37}}};  // whole pages gain one of zeros
    for (const auto& [bytes, pages] : sizes) {
        sim::bootloader loader;
        test::recorder r([&] { return loader.attach(), true; });
        std::string image(bytes, '\0');
        std::uint8_t checksum = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            checksum ^= static_cast<std::uint8_t>(image[i] = static_cast<char>(i * 131 + 7));
        }
        ASSERT_TRUE(firmware::transfer(image, r.link(), loader, test::fast_pacing));
        // Twenty steps of waiting for the bootloader, the pages, then the run up to 99.
        std::vector<int> progress(100), seen;
        std::iota(progress.begin(), progress.end(), 0);
        progress.erase(progress.begin() + 20, progress.begin() + 40);
        progress.insert(progress.begin() + 20, pages.begin(), pages.end());
        for (const auto& e : r.events) {
            if (e.starts_with(R"({"event" : "firmware_upload_progress")")) {
                seen.push_back(std::stoi(e.substr(e.find(":", 40) + 1)));
            }
        }
        EXPECT_EQ(seen, progress);
        EXPECT_EQ(r.events.size(), 2 + progress.size() + 1) << "begin twice, no error, the end";
        EXPECT_EQ(r.events.back(), end);
        image.resize(pages.size() * 1024, '\0');
        EXPECT_EQ(loader.image(), image) << "the image, zero padded to whole pages";
        EXPECT_EQ(loader.checksum(), checksum);
        EXPECT_EQ(loader.commands(), (std::vector<std::uint8_t>{4, 0, 1}));
        EXPECT_TRUE(loader.wait_finished(1s)) << "command 1, acknowledged, ends its session";
        EXPECT_EQ(r.commands, std::vector<std::string>{"/reset"});
    }
}

// A host whose only node refuses to open, or opens onto a connection that takes no data report
// (every page is acknowledged all the same: the transfer must not call that a success).
struct refusing_connection final : hid::connection {
    int write(std::span<const std::uint8_t> report) override {
        return std::equal(report.begin() + 1, report.begin() + 8, "BTLDCMD") ? int(report.size())
                                                                             : 0;
    }
    int read(std::span<std::uint8_t> buffer, std::chrono::milliseconds) override {
        std::fill(buffer.begin(), buffer.end(), 2);
        return static_cast<int>(buffer.size());
    }
};
struct unusable_host final : hid::host {
    explicit unusable_host(bool opens) : opens(opens) {}
    std::vector<hid::device_info> enumerate(std::uint16_t vendor, std::uint16_t product) override {
        return {{"/dev/hidraw7", vendor, product}};
    }
    hid::open_result open(const hid::device_info&) override {
        return {opens ? std::make_unique<refusing_connection>() : nullptr,
                opens ? hid::open_status::opened : hid::open_status::no_permission};
    }
    const bool opens;
};

TEST(FirmwareTransfer, EveryFailureEndsWithItsErrorBeforeTheEnd) {
    unusable_host forbidding(false), refusing(true);
    struct row {
        const char* why;
        bool module_present;
        sim::bootloader_options options;
        hid::host* host;
        std::string_view error;
        std::size_t pages;
    };
    using enum sim::bootloader_fault;
    const row rows[] = {
        {"module absent", false, {}, nullptr, firmware::module_not_connected, 0},
        {"no bootloader", true, {absent}, nullptr, firmware::bootloader_not_found, 0},
        {"ack lost on page 3", true, {fail_on_page, 3}, nullptr, firmware::bootloader_silent, 4},
        {"silent bootloader", true, {silent}, nullptr, firmware::bootloader_silent, SIZE_MAX},
        {"no permission", true, {}, &forbidding, firmware::bootloader_no_permission, 0},
        {"data reports lost", true, {}, &refusing, firmware::bootloader_silent, 0},
    };
    for (const auto& row : rows) {
        sim::bootloader loader(row.options);
        test::recorder r([&] { return row.module_present && (loader.attach(), true); });
        testing::internal::CaptureStdout();
        EXPECT_FALSE(firmware::transfer(good + std::string(8000, 'x'), r.link(),
                                        row.host ? *row.host : loader, test::fast_pacing))
            << row.why;
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_GE(r.events.size(), 2u) << row.why;
        EXPECT_EQ(r.events[r.events.size() - 2], firmware::error_event(row.error)) << row.why;
        EXPECT_EQ(r.events.back(), end) << row.why;
        if (row.pages != SIZE_MAX) {
            EXPECT_EQ(loader.pages(), row.pages) << row.why;
        }
        if (row.host == &forbidding) {
            EXPECT_NE(out.find("/dev/hidraw7"), std::string::npos) << "names the node: " << out;
        }
    }
}

// The name, type and content rules are checked against an independent oracle by the upload
// fuzzer, whose inputs stay far below the size limit.
TEST(FirmwareAcceptance, TakesImagesUpTo20MiB) {
    const std::string image = good + std::string((20u << 20) - good.size(), 'x');
    EXPECT_TRUE(firmware::acceptable("Korvaline.bin", "application/octet-stream", image));
    EXPECT_FALSE(firmware::acceptable("Korvaline.bin", "application/octet-stream", image + "x"));
}

TEST(FirmwareRoute, OneTransferAtATimeAndNoBodyOverTheLimit) {
    std::latch held{1};
    sim::bootloader loader;
    test::recorder r([&] { return held.wait(), loader.attach(), true; });
    httplib::Server server;
    firmware::uploads uploads(r.link(), loader, test::fast_pacing);
    uploads.register_route(server);
    test::running_server running(server, 5710);
    httplib::Client client("127.0.0.1", 5710);
    auto post = [&](const std::string& name) {
        auto res =
            client.Post("/firmware", httplib::MultipartFormDataItems{{"firmware_file", good, name,
                                                                      "application/octet-stream"}});
        return res ? res->body : "no answer";
    };
    // Accepted at once while the transfer waits at its reset; a second upload meanwhile is refused.
    EXPECT_EQ(post("Korvaline.bin"), firmware::accepted_body);
    EXPECT_EQ(post("Korvaline.bin"), firmware::refused_body);
    held.count_down();
    uploads.wait();
    EXPECT_EQ(r.commands, std::vector<std::string>{"/reset"});
    EXPECT_EQ(r.events.back(), end);

    // A chunked body is refused near its limit, long before 64 MiB have been read.
    test::raw_connection up(5710);
    up.send(
        "POST /firmware HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; "
        "boundary=KB\r\nTransfer-Encoding: chunked\r\n\r\n");
    auto sender = std::async(std::launch::async, [&up] {
        const std::string head =
            "--KB\r\nContent-Disposition: form-data; name=\"firmware_file\"; "
            "filename=\"Korvaline.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
            good;
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", head.size());
        std::size_t sent = up.send(size + head + "\r\n");
        const std::string block = "10000\r\n" + std::string(1u << 16, 'x') + "\r\n";
        for (std::size_t n = block.size(); sent < (64u << 20) && n == block.size(); sent += n) {
            n = up.send(block);
        }
        return sent;
    });
    const auto& answer = up.read_all(30s, [](const std::string& all) {
        return all.find(firmware::refused_body) != std::string::npos;
    });
    up.shut_down();
    EXPECT_NE(answer.find(firmware::refused_body), std::string::npos);
    EXPECT_LT(sender.get(), 64u << 20) << "the server read the whole body";
    EXPECT_EQ(r.commands.size(), 1u);
}

}  // namespace
