// The whole link against an emulated udev tree and tty (umockdev): discovery, the port's modem
// lines, a query, and the module leaving the bus.

#include "usb/udev_bus.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <cstring>
#include <filesystem>

#include "tests/support/serial_link.h"
#include "tests/support/wait.h"
#include "usb/device.h"

namespace {

using namespace usb_test;
namespace fs = std::filesystem;
const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/";

// A USB device with one tty below each interface in `ttys` (interface number, tty name).
std::string usb_device(const std::string& port, const std::string& ids,
                       std::vector<std::pair<int, std::string>> ttys) {
    std::string out =
        "P: " + usb + port + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" + ids + "\n";
    for (const auto& [number, tty] : ttys) {
        const std::string iface = usb + port + "/" + port + ":1." + std::to_string(number);
        out +=
            "P: " + iface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=0" +
            std::to_string(number) + "\n\nP: " + iface + "/tty/" + tty + "\nN: " + tty +
            "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + tty + "\nA: dev=166:" + tty.substr(6) + "\n\n";
    }
    return out;
}
const std::string module_ids = "A: idVendor=0483\nA: idProduct=5740\n";

struct testbed {
    testbed() {
        // A stranger with the module's product id, and the module with a second tty on interface 2.
        add(usb_device("1-1", "A: idVendor=1234\nA: idProduct=5740\n", {{0, "ttyACM3"}}));
        add(usb_device("1-2", module_ids, {{0, "ttyACM0"}, {2, "ttyACM7"}}));
    }
    ~testbed() { g_object_unref(bed); }
    void add(const std::string& records) {
        if (!umockdev_testbed_add_from_string(bed, records.c_str(), nullptr)) {
            throw std::runtime_error("umockdev refused the records");
        }
    }
    // Removes the module bottom-up, as the kernel does (a parent first would leave links).
    void remove_module() {
        for (const char* path :
             {"/1-2:1.2/tty/ttyACM7", "/1-2:1.2", "/1-2:1.0/tty/ttyACM0", "/1-2:1.0", ""}) {
            umockdev_testbed_remove_device(bed, ("/sys" + usb + "1-2" + path).c_str());
        }
    }
    UMockdevTestbed* bed = umockdev_testbed_new();
};

// Records the modem lines the program sets and hands every other ioctl to the pty.
gboolean modem_lines(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer set) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request == TIOCMBIS || request == TIOCMSET) {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client),
                                                              0, sizeof(int), nullptr);
        int bits = 0;
        std::memcpy(&bits, data->data, sizeof bits);
        *static_cast<std::atomic<int>*>(set) |= bits;
        g_object_unref(data);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    int error_number = 0;
    const int result = umockdev_ioctl_client_execute(client, &error_number, nullptr);
    umockdev_ioctl_client_complete(client, result, error_number);
    return TRUE;
}

TEST(UdevBus, TheLinkOpensAndTalksToAnEmulatedModuleAndSeesItLeave) {
    testbed bed;
    std::atomic<int> lines{0}, connects{0}, disconnects{0};
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(modem_lines), &lines);
    ASSERT_TRUE(umockdev_testbed_attach_ioctl(bed.bed, "/dev/ttyACM0", handler, nullptr));
    const int master = umockdev_testbed_get_dev_fd(bed.bed, "/dev/ttyACM0");
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    usb::udev_bus bus;
    usb::device_timing timing;
    timing.poll_interval = timing.connect_delay = 50ms;
    {
        fake_module module(master, [](const std::string& got, int fd) {
            if (got == "/get params all") {
                write_all(fd, "{\"kick\":{\"note\":36}}\r\n");
            }
        });
        usb::device device(bus, 0x0483, 0x5740, timing);
        device.install_callbacks([&] { ++connects; }, [&] { ++disconnects; });
        ASSERT_TRUE(test::eventually([&] { return connects == 1; }));
        EXPECT_EQ(device.query("/get params all", 1s, 1000us), "{\"kick\":{\"note\":36}}\r\n");
        EXPECT_EQ(lines & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);

        // Unplugged: the line hangs up (the module's end closes) and the device leaves the tree.
        module.stop();
        ::close(master);
        gchar* root = umockdev_testbed_get_root_dir(bed.bed);
        std::error_code absent;
        for (const auto& entry :
             fs::directory_iterator(std::string(root) + "/dev/.ptymap", absent)) {
            fs::remove(entry.path(), absent);
        }
        g_free(root);
        EXPECT_EQ(device.query("/get params all", 100ms, 1000us), std::nullopt);
        bed.remove_module();
        ASSERT_TRUE(test::eventually([&] { return disconnects == 1; }));
        EXPECT_FALSE(device.write("$0"));
        EXPECT_EQ(bus.find_device(0x0483, 0x5740), std::nullopt);
    }
    EXPECT_EQ(connects, 1);
    g_object_unref(handler);
}

}  // namespace
