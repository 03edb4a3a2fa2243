// The serial port on a pty: raw line settings, burst framing, time limits and exclusivity. The
// connection manager above it runs in the emulated-udev test, the stress run and the fuzzer.

#include "usb/serial_port.h"

#include <gtest/gtest.h>

#include "tests/support/serial_link.h"

namespace {

using namespace usb_test;
using steady = std::chrono::steady_clock;

std::chrono::milliseconds since(steady::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start);
}

TEST(SerialPort, OpensRawAndPassesEveryByteBothWays) {
    pty_pair pty(/*raw=*/false);  // starts cooked, with echo and canonical input
    usb::SerialPort port(pty.name(), {.burst_gap = 50ms, .read_limit = 5s});
    port.open();
    ASSERT_TRUE(port.isOpen());
    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), B115200);
    std::string bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.push_back(static_cast<char>(i));
    }
    port.write(bytes);
    EXPECT_EQ(drain(pty.master(), 200ms), bytes);
    write_all(pty.master(), bytes);
    std::string got;
    for (std::string part; got.size() < bytes.size() && !(part = port.read()).empty();) {
        got += part;
    }
    EXPECT_EQ(got, bytes);
}

TEST(SerialPort, ReadsOneBurstOfAtMost4095BytesAfterTheGap) {
    pty_pair pty;
    usb::SerialPort port(pty.name(), {.burst_gap = 100ms, .read_limit = 20s});
    port.open();
    const std::string sent(10000, 'k');
    std::string got;
    {
        // A jthread joins on every way out of the scope: a failed assertion fails this test alone
        // instead of aborting the binary with a joinable thread.
        std::jthread module([&] {
            write_all(pty.master(), sent);
            std::this_thread::sleep_for(600ms);
            write_all(pty.master(), "second\n");
        });
        for (std::string part; got.size() < sent.size(); got += part) {
            part = port.read();
            ASSERT_FALSE(part.empty());
            ASSERT_LE(part.size(), 4095u);
        }
        EXPECT_EQ(port.read(), "second\n") << "a burst ends at the gap";
    }
    EXPECT_EQ(got, sent);
}

TEST(SerialPort, ReadsEndAtTheirLimitOrDeadline) {
    pty_pair pty;
    usb::SerialPort port(pty.name(), {.burst_gap = 50ms, .read_limit = 300ms});
    port.open();
    auto start = steady::now();
    EXPECT_EQ(port.read(), "");
    EXPECT_GE(since(start), 280ms);
    start = steady::now();
    EXPECT_EQ(port.read(steady::now() + 100ms), "");
    EXPECT_LT(since(start), 280ms);
    // A deadline already passed still takes what is waiting.
    write_all(pty.master(), "late\n");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(port.read(steady::now() - 1ms), "late\n");
}

TEST(SerialPort, WritesALargeBufferWholeAndHoldsThePortAlone) {
    pty_pair pty;
    usb::SerialPort port(pty.name());
    port.open();
    std::string sent(200'000, 'x'), got;
    for (std::size_t i = 0; i < sent.size(); i += 7) {
        sent[i] = static_cast<char>(i % 251);
    }
    {
        std::jthread reader([&] { got = drain(pty.master(), 500ms, 30s); });
        port.write(sent);
    }
    EXPECT_EQ(got, sent);
    // A second user is refused until the first closes (or is destroyed).
    usb::SerialPort second(pty.name());
    second.open();
    EXPECT_FALSE(second.isOpen());
    port.close();
    second.open();
    EXPECT_TRUE(second.isOpen());
    EXPECT_EQ(port.read(), "") << "a closed port reads nothing";
}

}  // namespace
