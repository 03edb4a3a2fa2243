// The serial port on a pty: burst framing, large writes and exclusivity. Raw line settings and
// read deadlines are pinned by the device query fuzzer and the routes test.

#include "usb/serial_port.h"

#include <gtest/gtest.h>

#include "tests/support/serial_link.h"

namespace {

using namespace usb_test;

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
            write_all(pty.master(), "sec");  // a burst may arrive in pieces within the gap
            std::this_thread::sleep_for(20ms);
            write_all(pty.master(), "ond\n");
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
