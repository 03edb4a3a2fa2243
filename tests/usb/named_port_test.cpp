// A module on a port that the user names: attached while the port's node is there, opened anew
// when the node comes back as another tty (even between two polls), and gone while it is away.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "tests/support/serial_link.h"
#include "tests/support/wait.h"
#include "usb/device.h"
#include "usb/named_port_bus.h"
#include "usb/serial_port.h"

namespace {

using namespace usb_test;
namespace fs = std::filesystem;

// A module on a tty of its own, whose replies say which module answered.
struct plugged_module {
    explicit plugged_module(std::string tag)
        : answer(pty.master(), [tag](const std::string& received, int master) {
              write_all(master, received + " " + tag + "\n");
          }) {}
    pty_pair pty;
    fake_module answer;
};

// Points `link` at the module's tty in one step: the port is never absent in between.
void point(const fs::path& link, const plugged_module& module) {
    const fs::path next = link.string() + ".next";
    fs::create_symlink(module.pty.name(), next);
    fs::rename(next, link);
}

TEST(NamedPort, APortIsOpenedWhileItIsThereAndAnewWhenItIsAnotherTty) {
    char folder[] = "/tmp/korvaline-port-XXXXXX";
    const fs::path dir = ::mkdtemp(folder);
    const fs::path link = dir / "ttyKorvaline";
    std::ofstream(dir / "plain") << "not a device";
    EXPECT_FALSE(usb::serial_port_presence((dir / "plain").string()));
    EXPECT_FALSE(usb::serial_port_presence(link.string()));

    usb::named_port_bus bus(link.string());
    std::atomic<int> connects{0}, disconnects{0};
    usb::device device{bus, 0x0483, 0x5740, {.poll_interval = 10ms, .connect_delay = 10ms}};
    device.install_callbacks([&] { ++connects; }, [&] { ++disconnects; });

    auto first = std::make_unique<plugged_module>("first");
    point(link, *first);
    ASSERT_TRUE(test::eventually([&] { return connects == 1; }));
    EXPECT_EQ(device.query("hello", 5s, 1ms), "hello first\n");

    // Replugged on another tty without a poll seeing the port away: another module all the same.
    plugged_module second("second");
    point(link, second);
    ASSERT_TRUE(test::eventually([&] { return connects == 2; }));
    EXPECT_EQ(disconnects, 1);
    first.reset();
    EXPECT_EQ(device.query("hello", 5s, 1ms), "hello second\n");

    fs::remove(link);
    ASSERT_TRUE(test::eventually([&] { return disconnects == 2; }));
    EXPECT_FALSE(device.connected());
    point(link, second);
    ASSERT_TRUE(test::eventually([&] { return connects == 3; }));
    EXPECT_EQ(device.query("again", 5s, 1ms), "again second\n");
    fs::remove_all(dir);
}

}  // namespace
