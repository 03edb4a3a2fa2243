// One firmware update at the module's real pacing, through the whole stack of the demo: POST
// "/firmware" on port 5711, the simulated module leaving the bus on "/reset", the simulated
// bootloader appearing a second later, the events on GET "/event", and the module's return.

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <string>

#include "maintenance/firmware_route.h"
#include "sim/bootloader.h"
#include "sim/bus.h"
#include "sim/module.h"
#include "sim/reset_flow.h"
#include "tests/firmware/recorder.h"
#include "tests/support/test_server.h"
#include "usb/device.h"
#include "web/messaging.h"

using namespace std::chrono_literals;

namespace {

constexpr int port = 5711;

TEST(FirmwareRealPacing, SmallImageThroughTheSimulatedModule) {
    sim::module module;
    sim::bus bus(module);
    sim::bootloader loader;
    sim::reset_flow flow(module, loader);
    usb::device device(bus, sim::module::vendor_id, sim::module::product_id);
    std::atomic<int> connects{0};
    device.install_callbacks([&] { ++connects; }, [] {});
    httplib::Server server;
    async::messaging events(server);
    {
        firmware::uploads uploads(events, device, loader);
        uploads.register_route(server);
        test::running_server running(server, port);
        for (int i = 0; i < 200 && connects == 0; ++i) {
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_EQ(connects, 1);

        test::raw_stream stream(port);
        const std::string image = "Korvaline firmware by Talverin Acoustics";
        httplib::Client client("127.0.0.1", port);
        httplib::MultipartFormDataItems items{
            {"firmware_file", image, "Korvaline.ino.bin", "application/octet-stream"}};
        const auto start = std::chrono::steady_clock::now();
        auto res = client.Post("/firmware", items);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->body, std::string(firmware::accepted_body));

        // begin, begin, 0..19, one page, 40..99, end.
        const auto texts = stream.events(2 + 20 + 1 + 60 + 1, 60s);
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_EQ(texts.size(), 84u);
        EXPECT_EQ(texts[0], std::string(firmware::begin_event));
        EXPECT_EQ(texts[1], std::string(firmware::begin_event));
        EXPECT_EQ(test::progress_values(texts),
                  test::concat(test::concat(test::range(0, 19), {20}), test::range(40, 99)));
        EXPECT_EQ(texts.back(), std::string(firmware::end_event));
        // Twenty steps before and sixty after the pages, 100 ms each.
        EXPECT_GE(took, 7900ms);

        std::string padded = image;
        padded.resize(1024, '\0');
        EXPECT_EQ(loader.image(), padded);
        EXPECT_EQ(loader.commands(), (std::vector<std::uint8_t>{4, 0, 1}));

        // The module came back on the bus and the device found it again.
        for (int i = 0; i < 250 && connects < 2; ++i) {
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_EQ(connects, 2);
        EXPECT_FALSE(loader.attached());
        events.release_all();
        stream.close();
    }
}

}  // namespace
