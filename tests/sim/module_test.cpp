#include "sim/module.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "sim/bus.h"
#include "usb/serial_port.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// The test's own end of the module's tty, opened raw like a serial port.
class raw_port {
  public:
    explicit raw_port(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios raw{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &raw) == 0) {
            ::cfmakeraw(&raw);
            ::tcsetattr(fd_, TCSANOW, &raw);
        }
    }
    ~raw_port() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool ok() const { return fd_ >= 0; }
    void send(std::string_view bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Everything that arrives until a line feed ends the input or the time-out passes.
    std::string line(std::chrono::milliseconds timeout = 3s) { return collect(timeout, true); }
    // The first burst that arrives within the time-out, until the input pauses for a while.
    std::string burst(std::chrono::milliseconds timeout = 3s) {
        std::string got = collect(timeout, false, true);
        return got + collect(100ms);
    }
    // Everything that arrives within the time-out.
    std::string collect(std::chrono::milliseconds timeout, bool stop_at_line_feed = false,
                        bool stop_at_first_read = false) {
        std::string got;
        const auto deadline = steady::now() + timeout;
        while (steady::now() < deadline) {
            pollfd in{fd_, POLLIN, 0};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
            if (::poll(&in, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0) {
                break;
            }
            char buffer[4096];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) {
                hung_up_ = true;
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
            if ((stop_at_line_feed && got.back() == '\n') || stop_at_first_read) {
                break;
            }
        }
        return got;
    }
    bool hung_up() const { return hung_up_; }

  private:
    int fd_;
    bool hung_up_ = false;
};

TEST(sim_framing, recognises_commands_by_their_shape) {
    EXPECT_EQ(sim::frame_command("#"), 1u);
    EXPECT_EQ(sim::frame_command("@#"), 1u);
    EXPECT_EQ(sim::frame_command("$5"), std::nullopt);  // more digits may follow
    EXPECT_EQ(sim::frame_command("$5/get params all"), 2u);
    EXPECT_EQ(sim::frame_command("$-12#"), 4u);
    EXPECT_EQ(sim::frame_command("/get params all#"), 15u);
    EXPECT_EQ(sim::frame_command("/get par"), std::nullopt);
    EXPECT_EQ(sim::frame_command("/save params all"), 16u);
    EXPECT_EQ(sim::frame_command("/reset"), 6u);
    EXPECT_EQ(sim::frame_command("/set kick note 36"), std::nullopt);  // more digits may follow
    // Commands written right after a set whose reply was given up on must not be glued to it.
    EXPECT_EQ(sim::frame_command("/set tom1 threshold 1774$890"), 24u);
    EXPECT_EQ(sim::frame_command("/set kick gain 1.50/save params all"), 19u);
    EXPECT_EQ(sim::frame_command("/set kick gain #"), std::nullopt);
    EXPECT_EQ(sim::frame_command("/set curve snare {\"p\":[[0,0],"), std::nullopt);
    const std::string curve = "/set curve snare {\"p\":[[0,0]],\"n\":\"}{\"}";
    EXPECT_EQ(sim::frame_command(curve + "/get params all"), curve.size());
    EXPECT_EQ(sim::frame_command("/set curve snare /get params all"), 17u);
    EXPECT_EQ(sim::frame_command("junk"), std::nullopt);
}

TEST(sim_module, answers_the_protocol_on_its_tty) {
    // A generous wait for the rest of a curve, so that a slow test machine cannot split it.
    sim::module module({.curve_gap = 2s});
    const auto where = module.attached();
    ASSERT_TRUE(where);
    raw_port port(where->tty);
    ASSERT_TRUE(port.ok());

    port.send("/get params all");
    const std::string all = port.line();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all.substr(all.size() - 2), "\r\n");
    EXPECT_EQ(all.find('\n'), all.size() - 1) << "one line";
    EXPECT_NE(all.find("\"kick\": {\"scan\": 100, \"mask\": 110, \"decay\": 120, \"threshold\": "
                       "10, \"note\": 36, \"gain\": 10, \"curve\": {\"p\": [[0, 0], [192, 192], "
                       "[128, 64], [256, 256]]}}"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("\"hhc\": {\"timeout\": 9000, \"threshold\": 30, \"offset\": 105}"),
              std::string::npos);
    EXPECT_NE(all.find("\"hhc_trig\": {\"threshold\": 400"), std::string::npos);

    port.send("/set snare gain 1.50");
    EXPECT_EQ(port.line(), "set snare gain 49152\r\n");
    port.send("/set fsrt threshold 900");
    EXPECT_EQ(port.line(), "set fsrt threshold 900\r\n");
    port.send("/set kick wobble 3");
    EXPECT_EQ(port.line(), "error: unknown parameter\r\n");

    // A select directly followed by a curve that arrives in two chunks.
    port.send("$1/set curve snare {\"p\":[[1,2],[3,4],");
    std::this_thread::sleep_for(30ms);
    port.send("[5,6],[7,8]]}");
    port.send("/save params all");
    port.send("#");
    const std::string level = port.line();
    ASSERT_GE(level.size(), 3u);
    EXPECT_EQ(level.substr(level.size() - 2), "\r\n");
    EXPECT_EQ(level.find_first_not_of("0123456789"), level.size() - 2) << level;
    port.send("@");
    const std::string trace = port.line();
    EXPECT_EQ(trace.front(), '[');
    EXPECT_EQ(trace.substr(trace.size() - 3), "]\r\n");

    const std::string json = module.params_json();
    EXPECT_NE(json.find("\"snare\": {\"scan\": 200, \"mask\": 210, \"decay\": 220, \"threshold\": "
                        "20, \"note\": 38, \"gain\": 49152, \"curve\": {\"p\": [[1, 2], [3, 4], "
                        "[5, 6], [7, 8]]}}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"hhc_trig\": {\"threshold\": 900"), std::string::npos);
    EXPECT_EQ(module.saved_params_json(), json);
    EXPECT_EQ(module.selected_pad(), 1);

    const std::vector<std::string> expected = {"/get params all",
                                               "/set snare gain 1.50",
                                               "/set fsrt threshold 900",
                                               "/set kick wobble 3",
                                               "$1",
                                               "/set curve snare {\"p\":[[1,2],[3,4],[5,6],[7,8]]}",
                                               "/save params all",
                                               "#",
                                               "@"};
    EXPECT_EQ(module.commands(), expected);
}

TEST(sim_module, test_modes_change_the_answers) {
    sim::module module({.reply_delay = 1ms, .late_delay = 300ms});
    raw_port port(module.attached()->tty);

    module.set_mode(sim::answer_mode::silent);
    port.send("#");
    EXPECT_EQ(port.collect(200ms), "");

    module.set_mode(sim::answer_mode::garbage);
    port.send("/get params all");
    const std::string junk = port.burst();
    EXPECT_FALSE(junk.empty());
    EXPECT_EQ(junk.find('\n'), std::string::npos);

    module.set_mode(sim::answer_mode::late);
    const auto sent = steady::now();
    port.send("#");
    EXPECT_FALSE(port.line().empty());
    EXPECT_GE(steady::now() - sent, 290ms);

    // Write-only commands are never answered.
    module.set_mode(sim::answer_mode::normal);
    port.send("$4");
    port.send("/save params all");
    EXPECT_EQ(port.collect(150ms), "");
    EXPECT_EQ(module.selected_pad(), 4);
}

TEST(sim_module, unplug_hangs_up_and_replug_gives_a_port_that_opens) {
    sim::module module;
    sim::bus bus(module);
    const auto first = bus.find_device(0x0483, 0x5740);
    ASSERT_TRUE(first);
    EXPECT_FALSE(bus.find_device(0x1209, 0xBEBA));
    const std::string first_tty = bus.serial_port_name(*first);
    raw_port old_port(first_tty);

    module.unplug();
    EXPECT_FALSE(module.attached());
    EXPECT_FALSE(bus.find_device(0x0483, 0x5740));
    EXPECT_THROW(bus.serial_port_name(*first), usb::bus_error);
    old_port.collect(1s);
    EXPECT_TRUE(old_port.hung_up());

    EXPECT_TRUE(module.toggle());
    const auto second = bus.find_device(0x0483, 0x5740);
    ASSERT_TRUE(second);
    EXPECT_NE(second->id, first->id);
    EXPECT_THROW(bus.serial_port_name(*first), usb::bus_error);

    // The program's own serial port opens the new node and talks to it.
    usb::SerialPort port(bus.serial_port_name(*second));
    port.open();
    ASSERT_TRUE(port.isOpen());
    port.write("#");
    const std::string reply = port.read(steady::now() + 2s);
    EXPECT_EQ(reply.back(), '\n');
    port.close();
}

TEST(sim_module, reset_runs_the_installed_handler) {
    sim::module module;
    raw_port port(module.attached()->tty);
    port.send("/reset");
    // The answer to the next command shows that the module has finished with the reset.
    port.send("#");
    EXPECT_FALSE(port.line().empty());
    EXPECT_TRUE(module.attached()) << "without a handler a reset does nothing";

    // The firmware side's handler unplugs the module from the module's own thread.
    module.on_reset([&module] { module.unplug(); });
    port.send("/reset");
    ASSERT_TRUE(module.wait_for_commands(3, 5s));
    const auto deadline = steady::now() + 5s;
    while (module.attached() && steady::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_FALSE(module.attached());
    module.plug();
    EXPECT_TRUE(module.attached());
}

}  // namespace
