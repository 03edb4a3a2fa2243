// The serial port on a pty: line settings, burst framing, exclusivity and failure messages.

#include "usb/serial_port.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "tests/support/serial_link.h"

namespace {

using namespace usb_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Opens the port; whether it is open now.
bool opened(usb::SerialPort& port) {
    port.open();
    return port.isOpen();
}

std::string all_byte_values() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.push_back(static_cast<char>(i));
    }
    return bytes;
}

TEST(SerialPort, OpenAppliesTheLineSettingsAndPassesEveryByte) {
    pty_pair pty(/*raw=*/false);  // starts cooked, with echo and canonical input
    usb::SerialPort port(pty.name(), {.burst_gap = 50ms, .read_limit = 5s});
    ASSERT_TRUE(opened(port));

    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), B115200);
    EXPECT_EQ(::cfgetispeed(&tio), B115200);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);

    const std::string bytes = all_byte_values();
    port.write(bytes);
    EXPECT_EQ(drain(pty.master(), 200ms, 5s), bytes);
    write_all(pty.master(), bytes);
    std::string got;
    while (got.size() < bytes.size()) {
        std::string part = port.read();
        ASSERT_FALSE(part.empty());
        got += part;
    }
    EXPECT_EQ(got, bytes);
}

TEST(SerialPort, ReadReturnsOneBurstAfterTheGap) {
    pty_pair pty;
    usb::SerialPort port(pty.name(), {.burst_gap = 50ms, .read_limit = 20s});
    ASSERT_TRUE(opened(port));

    // Two bursts well apart come back as two reads, each ending about one gap after its last
    // byte.
    std::thread module([&] {
        write_all(pty.master(), "01234567890123456789");
        std::this_thread::sleep_for(400ms);
        write_all(pty.master(), "second\n");
    });
    auto start = steady::now();
    EXPECT_EQ(port.read(), "01234567890123456789");
    auto first = since(start);
    EXPECT_GE(first, 45ms);
    EXPECT_LT(first, 350ms);
    EXPECT_EQ(port.read(), "second\n");
    module.join();

    // Bytes closer together than the gap belong to one burst.
    usb::SerialPort slow(pty.name(), {.burst_gap = 300ms, .read_limit = 20s});
    port.close();
    ASSERT_TRUE(opened(slow));
    std::thread trickle([&] {
        for (char c : std::string("abcdef")) {
            write_all(pty.master(), std::string(1, c));
            std::this_thread::sleep_for(20ms);
        }
    });
    EXPECT_EQ(slow.read(), "abcdef");
    trickle.join();
}

TEST(SerialPort, ReadNeverReturnsMoreThan4095Bytes) {
    pty_pair pty;
    usb::SerialPort port(pty.name(), {.burst_gap = 200ms, .read_limit = 20s});
    ASSERT_TRUE(opened(port));

    std::string sent;
    for (int i = 0; i < 10000; ++i) {
        sent.push_back(static_cast<char>('a' + i % 26));
    }
    std::thread module([&] { write_all(pty.master(), sent); });
    std::string got;
    bool saw_full_read = false;
    while (got.size() < sent.size()) {
        std::string part = port.read();
        ASSERT_FALSE(part.empty());
        ASSERT_LE(part.size(), 4095u);
        saw_full_read = saw_full_read || part.size() == 4095u;
        got += part;
    }
    module.join();
    EXPECT_EQ(got, sent);
    EXPECT_TRUE(saw_full_read);
}

TEST(SerialPort, ReadTimeLimits) {
    pty_pair pty;
    usb::SerialPort port(pty.name(), {.burst_gap = 50ms, .read_limit = 300ms});
    ASSERT_TRUE(opened(port));

    // Silence: the plain read gives up at its limit.
    auto start = steady::now();
    EXPECT_EQ(port.read(), "");
    EXPECT_GE(since(start), 280ms);
    EXPECT_LT(since(start), 3s);

    // A first-byte deadline shorter than the limit ends the wait early, even with the default
    // 41 s limit.
    usb::SerialPort patient(pty.name());
    port.close();
    ASSERT_TRUE(opened(patient));
    start = steady::now();
    EXPECT_EQ(patient.read(steady::now() + 100ms), "");
    EXPECT_GE(since(start), 90ms);
    EXPECT_LT(since(start), 3s);

    // A deadline already passed still takes what is waiting, without waiting for more.
    write_all(pty.master(), "late\n");
    std::this_thread::sleep_for(100ms);
    start = steady::now();
    EXPECT_EQ(patient.read(steady::now() - 1ms), "late\n");
    EXPECT_EQ(patient.read(steady::now() - 1ms), "");
    EXPECT_LT(since(start), 3s);
}

TEST(SerialPort, WriteDeliversALargeBufferWhole) {
    pty_pair pty;
    usb::SerialPort port(pty.name());
    ASSERT_TRUE(opened(port));
    // Far more than the pty holds, so the port must wait for room and continue.
    std::string sent(200'000, 'x');
    for (std::size_t i = 0; i < sent.size(); i += 7) {
        sent[i] = static_cast<char>(i % 251);
    }
    std::string got;
    std::thread reader([&] { got = drain(pty.master(), 500ms, 30s); });
    port.write(sent);
    reader.join();
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_EQ(got, sent);
}

TEST(SerialPort, OpenFailuresAreReportedAndLeaveThePortClosed) {
    CaptureStdout();
    usb::SerialPort missing("/dev/ttyACM-does-not-exist");
    EXPECT_FALSE(opened(missing));
    EXPECT_EQ(GetCapturedStdout(), "Serial port doesn't exist.\n");

    // A port held by another user of the node is refused, and says so.
    pty_pair pty;
    usb::SerialPort holder(pty.name());
    ASSERT_TRUE(opened(holder));
    usb::SerialPort second(pty.name());
    CaptureStdout();
    EXPECT_FALSE(opened(second));
    EXPECT_EQ(GetCapturedStdout(), "Unknown error...\nThe serial port " + pty.name() +
                                       " is in use by another program (perhaps another running "
                                       "copy of this program).\n");

    // Closing is idempotent and releases the port for the next user.
    holder.close();
    holder.close();
    EXPECT_FALSE(holder.isOpen());
    EXPECT_TRUE(opened(second));

    // A closed port reads nothing at once and ignores writes.
    auto start = steady::now();
    EXPECT_EQ(holder.read(), "");
    holder.write("ignored");
    EXPECT_LT(since(start), 1s);
}

TEST(SerialPort, DestructionReleasesTheLock) {
    pty_pair pty;
    {
        usb::SerialPort dropped(pty.name());
        ASSERT_TRUE(opened(dropped));
    }
    usb::SerialPort next(pty.name());
    EXPECT_TRUE(opened(next));
}

// Root opens any node whatever its mode, so the open runs in a child that has given up root (or,
// for an ordinary user, on a node whose mode refuses everyone).
TEST(SerialPort, MissingPermissionNamesTheNodeAndTheFix) {
    pty_pair pty;
    const bool root = ::geteuid() == 0;
    if (!root) {
        ASSERT_EQ(::chmod(pty.name().c_str(), 0), 0);
    }
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(3);
        }
        usb::SerialPort port(pty.name());
        port.open();
        ::_exit(port.isOpen() ? 1 : 0);
    }
    ::close(out[1]);
    std::string printed = drain(out[0], 5s, 10s);
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!root) {
        ::chmod(pty.name().c_str(), 0620);
    }
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 3) << "could not drop to uid 65534";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(printed, "Unknown error...\nPermission denied on " + pty.name() +
                           ": install the udev rule packaging/70-korvaline.rules (or add your "
                           "user to the dialout group) and replug the module.\n");
}

}  // namespace
