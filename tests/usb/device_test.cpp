// The connection manager over the simulated bus: a module replugged between two polls is a new
// module, whose port replaces the old one's.
#include "usb/device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/bus.h"
#include "sim/module.h"
#include "tests/support/serial_link.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;

TEST(Device, AModuleRepluggedBetweenTwoPollsIsOpenedAnew) {
    sim::module module({.reply_delay = 1ms});
    sim::bus bus{module};
    std::atomic<int> connects{0}, disconnects{0};
    // Polls far apart, so that the replug below falls between two of them.
    usb::device device{bus, 0x0483, 0x5740, {.poll_interval = 1s, .connect_delay = 20ms}};
    device.install_callbacks([&] { ++connects; }, [&] { ++disconnects; });
    ASSERT_TRUE(test::eventually([&] { return connects == 1; }));
    module.unplug();
    module.plug();
    ASSERT_TRUE(test::eventually([&] { return connects == 2; }));
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(device.connected());
    EXPECT_TRUE(device.query("/get params all", 1s, 1ms));
}

// The connection manager with its port open on a pty whose master the test plays.
struct opened_pty {
    opened_pty() {
        bus.present = true;
        device.install_callbacks([] {}, [] {});
    }
    usb_test::pty_pair pty;
    usb_test::pty_bus bus{pty.name()};
    usb::device device{bus, 0x0483, 0x5740, {.poll_interval = 10ms, .connect_delay = 10ms}};
};

TEST(Device, AReplyThatMissedItsQueryNeverLeadsTheNextReply) {
    opened_pty link;
    auto& [pty, bus, device] = link;
    ASSERT_TRUE(test::eventually([&] { return device.connected(); }));
    // Every command is answered at once, but for those whose replies the test writes itself.
    usb_test::fake_module module(pty.master(), [](const std::string& received, int master) {
        if (received != "first" && received != "third" && received != "sixth") {
            usb_test::write_all(master, received + " reply\n");
        }
    });
    EXPECT_FALSE(device.query("first", 20ms, 1ms));
    usb_test::write_all(pty.master(), "first reply\n");  // late, but before the next query
    EXPECT_EQ(device.query("second", 10s, 1ms), "second reply\n");

    // A begun reply whose rest pauses for longer than a burst gap (a busy computer) is awaited
    // to its end, however long the pause, rather than left to lead a later reply.
    usb_test::write_all(pty.master(), "third re");
    EXPECT_FALSE(device.query("third", 20ms, 1ms));
    std::jthread rest([&] {
        std::this_thread::sleep_for(300ms);
        usb_test::write_all(pty.master(), "ply\n");
    });
    EXPECT_EQ(device.query("fourth", 10s, 1ms), "fourth reply\n");
    rest.join();
    EXPECT_EQ(device.query("fifth", 10s, 1ms), "fifth reply\n");
    // A line cut short for good costs the next query its time-out, no more.
    usb_test::write_all(pty.master(), "sixth re");
    EXPECT_FALSE(device.query("sixth", 20ms, 1ms));
    EXPECT_EQ(device.query("seventh", 1s, 1ms), "seventh reply\n");
}

// Each reply is judged by its command: readings and other commands' answers that arrive in a
// query's time are dropped, never taken for its answer; the module's slowness is learned from its
// late replies and forgotten once it is quick again.
TEST(Device, OnlyAReplyOfTheCommandsKindAnswersItAndASlowModuleIsWaitedFor) {
    opened_pty link;
    auto& [pty, bus, device] = link;
    ASSERT_TRUE(test::eventually([&] { return device.connected(); }));
    std::atomic<int> delay_ms{0};
    usb_test::fake_module module(pty.master(), [&](const std::string& received, int master) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms.load()));
        if (received == "/get params all") {
            usb_test::write_all(master, "3\r\n[1,2]\r\nOK\r\n{\"kick\": {\"note\": 36}}\r\n");
        } else if (received == "/set kick note 37") {
            usb_test::write_all(master, "{\"kick\": {}}\r\n17\r\n");  // never its own answer
        } else if (received.starts_with("/set")) {
            usb_test::write_all(master, "42\r\nset " + received.substr(5) + "\r\n");
        } else if (received == "#") {
            usb_test::write_all(master, "[4,5]\r\n7\r\n");
        }
    });
    EXPECT_EQ(device.query("/get params all", 1s, 1ms), "{\"kick\": {\"note\": 36}}\r\n");
    EXPECT_EQ(device.query("/set kick gain 1.50", 1s, 1ms), "set kick gain 1.50\r\n");
    EXPECT_FALSE(device.query("/set kick note 37", 100ms, 1ms));
    EXPECT_EQ(device.query("#", 1s, 1ms), "7\r\n");
    EXPECT_FALSE(device.slow());

    // 250 ms late: the first query gives up, the next one learns from the late reply.
    delay_ms = 250;
    EXPECT_FALSE(device.query("/set kick threshold 20", 100ms, 1ms));
    EXPECT_EQ(device.query("/set kick threshold 21", 100ms, 1ms), "set kick threshold 21\r\n");
    ASSERT_TRUE(device.slow());
    EXPECT_GE(*device.slow(), 150ms);
    EXPECT_LE(*device.slow(), 1000ms);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(device.query("/set snare mask " + std::to_string(i), 100ms, 1ms),
                  "set snare mask " + std::to_string(i) + "\r\n");
    }
    delay_ms = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(device.query("#", 100ms, 1ms));
    }
    EXPECT_FALSE(device.slow());
}

}  // namespace
