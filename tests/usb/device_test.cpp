// The connection manager over the simulated bus: a module replugged between two polls is a new
// module, whose port replaces the old one's.
#include "usb/device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/bus.h"
#include "sim/module.h"

namespace {

using namespace std::chrono_literals;

TEST(Device, AModuleRepluggedBetweenTwoPollsIsOpenedAnew) {
    sim::module module({.reply_delay = 1ms});
    sim::bus bus{module};
    std::atomic<int> connects{0}, disconnects{0};
    // Polls far apart, so that the replug below falls between two of them.
    usb::device device{bus, 0x0483, 0x5740, {.poll_interval = 1s, .connect_delay = 20ms}};
    device.install_callbacks([&] { ++connects; }, [&] { ++disconnects; });
    const auto reaches = [&](int value) {
        for (int i = 0; i < 1000 && connects < value; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        return connects == value;
    };
    ASSERT_TRUE(reaches(1));
    module.unplug();
    module.plug();
    ASSERT_TRUE(reaches(2));
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(device.connected());
    EXPECT_TRUE(device.query("/get params all", 1s, 1ms));
}

}  // namespace
