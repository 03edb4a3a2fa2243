// The COM port under Wine, against a pty that serial_peer.py serves as COM9: the missing port's
// line, a burst read whole, long output in reads of at most 4095 bytes, and an unplugged port
// that reads nothing and is no longer present.
#include <gtest/gtest.h>

#include "tests/support/wait.h"
#include "usb/serial_port.h"

namespace {

using namespace std::chrono_literals;

TEST(SerialPortWin32, AMissingPortSaysSo) {
    usb::SerialPort port("COM199");
    testing::internal::CaptureStdout();
    port.open();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Serial port doesn't exist.\n");
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(usb::serial_port_presence("COM199"));
}

TEST(SerialPortWin32, ReadsOneBurstOfAtMost4095BytesThenNothingOnceUnplugged) {
    // A long gap: what is tested is where a burst ends, not how soon.
    usb::SerialPort port("COM9", {.burst_gap = 300ms, .read_limit = 2s});
    port.open();
    ASSERT_TRUE(port.isOpen());
    port.write("burst\n");
    EXPECT_EQ(port.read(), "first part, second part\n");

    port.write("big\n");
    std::string big;
    for (std::string part; big.size() < 10000; big += part) {
        part = port.read();
        ASSERT_FALSE(part.empty());
        ASSERT_LE(part.size(), 4095u);
    }
    for (std::size_t i = 0; i < big.size(); ++i) {
        ASSERT_EQ(static_cast<unsigned char>(big[i]), (i * 7) % 256) << "byte " << i;
    }

    ASSERT_TRUE(usb::serial_port_presence("COM9"));
    port.write("hangup\n");
    EXPECT_TRUE(test::eventually([] { return !usb::serial_port_presence("COM9"); }));
    EXPECT_EQ(port.read(), "");
}

}  // namespace
