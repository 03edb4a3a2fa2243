// The connection manager on a fake bus whose module is a pty: hot-plug transitions, callback order,
// shutdown, and the command exchange.

#include "usb/device.h"

#include <gtest/gtest.h>

#include "tests/support/serial_link.h"

namespace {

using namespace usb_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using events = std::vector<std::string>;

// Short timings keep the suite fast; the serial read limit stays long unless a test says so, to
// show that no exchange waits for it.
usb::device_timing quick(std::chrono::milliseconds poll = 20ms,
                         std::chrono::milliseconds connect_delay = 30ms) {
    usb::device_timing timing;
    timing.poll_interval = poll;
    timing.connect_delay = connect_delay;
    timing.serial.burst_gap = 20ms;
    return timing;
}

struct link {
    explicit link(usb::device_timing timing = quick(), bool present = false) : bus(pty.name()) {
        bus.set_present(present);
        device.emplace(bus, 0x0483, 0x5740, timing);
    }
    void install() { device->install_callbacks(calls.on("connect"), calls.on("disconnect")); }
    // Destroys the device; how long that took.
    std::chrono::milliseconds destroy() {
        const auto start = steady::now();
        device.reset();
        return since(start);
    }

    pty_pair pty;
    fake_bus bus;
    recorder calls;
    std::optional<usb::device> device;
};

TEST(DeviceMonitor, ModuleAttachedAtStartUpIsAnnouncedOnceAfterInstallation) {
    link l(quick(), /*present=*/true);
    // The monitor sees the module before any callback exists: it only records it.
    ASSERT_TRUE(l.bus.wait_searches(4));
    EXPECT_FALSE(l.device->write("$3"));
    EXPECT_TRUE(l.calls.events().empty());

    l.install();
    ASSERT_TRUE(l.calls.wait_count(1));
    ASSERT_TRUE(l.bus.wait_searches(5));
    EXPECT_EQ(l.calls.events(), events{"connect"});
    EXPECT_TRUE(l.device->write("$3"));
    EXPECT_EQ(drain(l.pty.master(), 200ms, 5s), "$3");
}

TEST(DeviceMonitor, PlugAndUnplugAreAnnouncedOnceEach) {
    link l;
    l.install();
    ASSERT_TRUE(l.bus.wait_searches(2));
    EXPECT_FALSE(l.device->write("/reset"));

    l.bus.set_present(true);
    ASSERT_TRUE(l.calls.wait_count(1));
    EXPECT_TRUE(l.device->write("/save params all"));
    EXPECT_EQ(drain(l.pty.master(), 200ms, 5s), "/save params all");

    l.bus.set_present(false);
    ASSERT_TRUE(l.calls.wait_count(2));
    ASSERT_TRUE(l.bus.wait_searches(5));
    EXPECT_EQ(l.calls.events(), (events{"connect", "disconnect"}));
    EXPECT_FALSE(l.device->write("/save params all"));
    EXPECT_EQ(l.device->query("#", 10ms, 1000us), std::nullopt);

    // The port was released on the way out: the module can come back and be opened again.
    l.bus.set_present(true);
    ASSERT_TRUE(l.calls.wait_count(3));
    EXPECT_EQ(l.calls.events(), (events{"connect", "disconnect", "connect"}));
    EXPECT_TRUE(l.device->write("$1"));
    EXPECT_EQ(drain(l.pty.master(), 200ms, 5s), "$1");
}

TEST(DeviceMonitor, UnplugShorterThanAPollGoesUnnoticed) {
    link l(quick(/*poll=*/600ms));
    l.install();
    l.bus.set_present(true);
    ASSERT_TRUE(l.calls.wait_count(1));

    // Right after a search the module leaves and comes back, long before the next one.
    ASSERT_TRUE(l.bus.wait_searches(1));
    l.bus.set_present(false);
    l.bus.set_present(true);
    ASSERT_TRUE(l.bus.wait_searches(2));
    EXPECT_EQ(l.calls.events(), events{"connect"});
    EXPECT_TRUE(l.device->write("still here"));
    EXPECT_EQ(drain(l.pty.master(), 200ms, 5s), "still here");
}

TEST(DeviceMonitor, DestructionIsQuickAndRunsNoCallback) {
    {
        // Attached but not yet announced; the monitor is in a long sleep.
        link l(quick(/*poll=*/20s), /*present=*/true);
        ASSERT_TRUE(l.bus.wait_total_searches(1));
        l.install();
        // Installation takes effect at the next poll, 20 s away: destroy before it.
        EXPECT_LT(l.destroy(), 3s);
        EXPECT_TRUE(l.calls.events().empty());
    }
    {
        // Announced, and the monitor is between two polls.
        link l;
        l.install();
        l.bus.set_present(true);
        ASSERT_TRUE(l.calls.wait_count(1));
        EXPECT_LT(l.destroy(), 3s);
        EXPECT_EQ(l.calls.events(), events{"connect"});
    }
    {
        // Destroyed during the connect delay: the port is not opened and on_connect not called.
        link l(quick(/*poll=*/20ms, /*connect_delay=*/20s), /*present=*/true);
        l.install();
        ASSERT_TRUE(l.bus.wait_total_searches(1));
        std::this_thread::sleep_for(100ms);
        EXPECT_LT(l.destroy(), 3s);
        EXPECT_TRUE(l.calls.events().empty());
    }
}

TEST(DeviceMonitor, FailuresOfTheBusAreReported) {
    link l;
    l.install();
    CaptureStdout();
    // A failing search is reported once however long it lasts, and retried.
    l.bus.set_search_error("The list of USB devices cannot be read (No such file or directory).");
    l.bus.set_present(true);
    ASSERT_TRUE(l.bus.wait_searches(5));
    EXPECT_TRUE(l.calls.events().empty());
    // A module whose port has no name is still announced, but nothing can be sent to it.
    l.bus.set_name_error("The module has no serial port on its interface 0.");
    l.bus.set_search_error(std::nullopt);
    ASSERT_TRUE(l.calls.wait_count(1));
    EXPECT_FALSE(l.device->write("$0"));
    EXPECT_EQ(l.device->query("/get params all", 100ms, 1000us), std::nullopt);
    // A port that cannot be opened is announced too; writes go nowhere and queries find nothing.
    l.bus.set_name_error(std::nullopt);
    l.bus.set_present(false);
    ASSERT_TRUE(l.calls.wait_count(2));
    usb::SerialPort holder(l.pty.name());
    holder.open();
    ASSERT_TRUE(holder.isOpen());
    l.bus.set_present(true);
    ASSERT_TRUE(l.calls.wait_count(3));
    EXPECT_TRUE(l.device->write("$0"));
    EXPECT_EQ(l.device->query("/get params all", 100ms, 1000us), std::nullopt);
    l.device.reset();
    EXPECT_EQ(GetCapturedStdout(),
              "Serial port error: The list of USB devices cannot be read (No such file or "
              "directory).\n"
              "Serial port error: The module has no serial port on its interface 0.\n"
              "Unknown error...\n"
              "The serial port " +
                  l.pty.name() +
                  " is in use by another program (perhaps another running copy of this "
                  "program).\n");
    EXPECT_EQ(l.calls.events(), (events{"connect", "disconnect", "connect"}));
}

// A connected link whose module answers every chunk it receives with `answer`.
struct connected : link {
    explicit connected(fake_module::handler answer, usb::device_timing timing = quick())
        : link(timing, /*present=*/true), module(pty.master(), std::move(answer)) {
        install();
        if (!calls.wait_count(1)) {
            throw std::runtime_error("the module was not connected");
        }
    }
    fake_module module;
};

TEST(DeviceQuery, ReplySplitOverBurstsIsJoinedWithItsLineEnd) {
    connected c([](const std::string& received, int master) {
        if (received == "/get params all") {
            write_all(master, R"({"kick":{"note":36},)");
            std::this_thread::sleep_for(150ms);  // well past the 20 ms gap: a second burst
            write_all(master, R"("snare":{"note":38}})"
                              "\r\n");
        }
    });
    auto reply = c.device->query("/get params all", 2s, 1000us);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, R"({"kick":{"note":36},"snare":{"note":38}})"
                      "\r\n");
    EXPECT_EQ(c.module.received(), "/get params all");
}

TEST(DeviceQuery, SilentModuleCostsOnlyTheTimeOut) {
    // The port's own read limit is the module's 41 s; the query must not wait for it, nor hold
    // the device lock that long.
    usb::device_timing timing = quick();
    timing.serial = usb::serial_timing{};
    connected c(nullptr, timing);
    auto start = steady::now();
    EXPECT_EQ(c.device->query("#", 10ms, 1000us), std::nullopt);
    EXPECT_LT(since(start), 1s);
    start = steady::now();
    EXPECT_TRUE(c.device->write("$2"));
    EXPECT_LT(since(start), 1s);

    // A reply without a line end is dropped at the deadline, and its bytes stay consumed.
    c.module.stop();
    write_all(c.pty.master(), "partial");
    start = steady::now();
    EXPECT_EQ(c.device->query("@", 50ms, 1000us), std::nullopt);
    EXPECT_LT(since(start), 1s);
}

TEST(DeviceQuery, AbsentModuleAnswersAtOnce) {
    link l;
    l.install();
    auto start = steady::now();
    EXPECT_EQ(l.device->query("/get params all", 5s, 1000us), std::nullopt);
    EXPECT_LT(since(start), 1s);
}

TEST(DeviceQuery, ConcurrentQueriesGetTheirOwnReplies) {
    connected c([](const std::string& received, int master) {
        // Answers in two bursts, so an interleaving exchange would show.
        write_all(master, "reply:");
        std::this_thread::sleep_for(30ms);
        write_all(master, received + "\n");
    });
    auto ask = [&](const std::string& command, int* mismatches) {
        for (int i = 0; i < 15; ++i) {
            auto reply = c.device->query(command, 2s, 1000us);
            if (reply != "reply:" + command + "\n") {
                ++*mismatches;
            }
        }
    };
    int kick_mismatches = 0;
    int snare_mismatches = 0;
    std::thread kick(ask, "/set kick gain 1.25", &kick_mismatches);
    std::thread snare(ask, "/set snare threshold 42", &snare_mismatches);
    kick.join();
    snare.join();
    EXPECT_EQ(kick_mismatches, 0);
    EXPECT_EQ(snare_mismatches, 0);
}

TEST(DeviceQuery, LateReplyOfATimedOutQueryDoesNotLeadTheNextReply) {
    // The module answers "#" only after the query has given up; that answer must not be taken
    // for the start of the next reply. An answer to a write-only command still leads it.
    connected c([](const std::string& received, int master) {
        if (received == "#") {
            std::this_thread::sleep_for(60ms);
            write_all(master, "25\r\n");
        } else if (received == "$1") {
            write_all(master, "selected\r\n");
        } else if (received == "/get params all") {
            write_all(master, "{}\r\n");
        }
    });
    EXPECT_EQ(c.device->query("#", 10ms, 1000us), std::nullopt);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(c.device->query("/get params all", 2s, 1000us), "{}\r\n");

    EXPECT_TRUE(c.device->write("$1"));
    std::this_thread::sleep_for(200ms);
    auto reply = c.device->query("/get params all", 2s, 1000us);
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->starts_with("selected\r\n")) << *reply;
}

}  // namespace
