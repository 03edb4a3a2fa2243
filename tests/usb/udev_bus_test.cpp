// Discovery on an emulated udev tree (umockdev), and the whole link against an emulated module.

#include "usb/udev_bus.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <cstring>

#include "tests/support/serial_link.h"
#include "usb/device.h"

namespace {

using namespace usb_test;

const char* const other_device = R"(P: /devices/pci0000:00/0000:00:14.0/usb1/1-1
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
A: idVendor=1234
A: idProduct=5740

P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface
A: bInterfaceNumber=00

P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/tty/ttyACM0
N: ttyACM0
E: SUBSYSTEM=tty
E: DEVNAME=/dev/ttyACM0
A: dev=166:0
)";

const char* const module_path = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";

// The module, with a second interface that has a tty of its own (which is not the module's port).
std::string module_records(const std::string& tty) {
    return std::string(R"(P: /devices/pci0000:00/0000:00:14.0/usb1/1-2
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
A: idVendor=0483
A: idProduct=5740

P: /devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface
A: bInterfaceNumber=00

P: /devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/tty/)") +
           tty + "\nN: " + tty + "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + tty + "\nA: dev=166:1\n" +
           R"(
P: /devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.2
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface
A: bInterfaceNumber=02

P: /devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.2/tty/ttyACM7
N: ttyACM7
E: SUBSYSTEM=tty
E: DEVNAME=/dev/ttyACM7
A: dev=166:7
)";
}

// The message of the bus_error the port name lookup throws, or "" when it names a port.
std::string port_name_error(usb::udev_bus& bus, const usb::found_device& found) {
    try {
        bus.serial_port_name(found);
    } catch (const usb::bus_error& error) {
        return error.what();
    }
    return "";
}

class testbed {
  public:
    testbed() : bed_(umockdev_testbed_new()) {}
    ~testbed() { g_object_unref(bed_); }
    testbed(const testbed&) = delete;
    testbed& operator=(const testbed&) = delete;

    void add(const std::string& records) {
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(bed_, records.c_str(), &error)) {
            std::string message = error ? error->message : "unknown";
            g_clear_error(&error);
            throw std::runtime_error("umockdev: " + message);
        }
    }
    // Removes the module bottom-up, as the kernel does (a parent first would leave links).
    void remove_module(const std::string& tty) {
        for (const char* path : {"/1-2:1.2/tty/ttyACM7", "/1-2:1.2"}) {
            umockdev_testbed_remove_device(bed_, (std::string(module_path) + path).c_str());
        }
        umockdev_testbed_remove_device(bed_,
                                       (std::string(module_path) + "/1-2:1.0/tty/" + tty).c_str());
        umockdev_testbed_remove_device(bed_, (std::string(module_path) + "/1-2:1.0").c_str());
        umockdev_testbed_remove_device(bed_, module_path);
    }
    UMockdevTestbed* get() const { return bed_; }

  private:
    UMockdevTestbed* bed_;
};

TEST(UdevBus, FindsTheModuleByItsIdsAndNamesTheTtyOfInterfaceZero) {
    testbed bed;
    usb::udev_bus bus;
    bed.add(other_device);
    EXPECT_EQ(bus.find_device(0x0483, 0x5740), std::nullopt);

    bed.add(module_records("ttyACM1"));
    auto found = bus.find_device(0x0483, 0x5740);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, module_path);
    EXPECT_EQ(bus.serial_port_name(*found), "/dev/ttyACM1");
    EXPECT_EQ(bus.find_device(0x0483, 0x5741), std::nullopt);

    // Unplugged at run time: no longer found, and the old handle names nothing.
    bed.remove_module("ttyACM1");
    EXPECT_EQ(bus.find_device(0x0483, 0x5740), std::nullopt);
    EXPECT_EQ(port_name_error(bus, *found), "The module has left the USB bus.");
}

TEST(UdevBus, ModuleWithoutItsTtyIsFoundButHasNoPort) {
    testbed bed;
    usb::udev_bus bus;
    // The module's device and interface records, without the nodes below them.
    const std::string records = module_records("ttyACM1");
    bed.add(
        records.substr(0, records.find("\nP: " + std::string(module_path + 4) + "/1-2:1.0/tty")));
    auto found = bus.find_device(0x0483, 0x5740);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, module_path);
    EXPECT_EQ(port_name_error(bus, *found), "The module has no serial port on its interface 0.");
}

// Records the modem lines the program sets and hands every other ioctl to the pty.
struct modem_lines {
    static gboolean handle(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* lines = static_cast<modem_lines*>(self);
        unsigned long request = umockdev_ioctl_client_get_request(client);
        if (request == TIOCMBIS || request == TIOCMSET) {
            GError* error = nullptr;
            UMockdevIoctlData* data = umockdev_ioctl_data_resolve(
                umockdev_ioctl_client_get_arg(client), 0, sizeof(int), &error);
            if (data == nullptr) {
                g_clear_error(&error);
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            int bits = 0;
            std::memcpy(&bits, data->data, sizeof bits);
            lines->set |= bits;
            g_object_unref(data);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        int error_number = 0;
        GError* error = nullptr;
        int result = umockdev_ioctl_client_execute(client, &error_number, &error);
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, result, error_number);
        return TRUE;
    }
    std::atomic<int> set{0};
};

TEST(UdevBus, TheLinkFindsOpensAndTalksToAnEmulatedModuleAndSeesItLeave) {
    testbed bed;
    bed.add(module_records("ttyACM0"));
    modem_lines lines;
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(modem_lines::handle), &lines);
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_attach_ioctl(bed.get(), "/dev/ttyACM0", handler, &error));
    int master = umockdev_testbed_get_dev_fd(bed.get(), "/dev/ttyACM0");
    ASSERT_GE(master, 0);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    usb::udev_bus bus;
    recorder calls;
    usb::device_timing timing;
    timing.poll_interval = 50ms;
    timing.connect_delay = 50ms;
    {
        auto module = std::make_unique<fake_module>(master, [](const std::string& got, int fd) {
            if (got == "/get params all") {
                write_all(fd, "{\"kick\":{\"note\":36}}\r\n");
            }
        });
        usb::device device(bus, 0x0483, 0x5740, timing);
        device.install_callbacks(calls.on("connect"), calls.on("disconnect"));
        ASSERT_TRUE(calls.wait_count(1));
        EXPECT_EQ(device.query("/get params all", 1s, 1000us), "{\"kick\":{\"note\":36}}\r\n");
        EXPECT_EQ(lines.set.load() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);

        // Unplugged: the line hangs up (the module end closes) and the device leaves the tree.
        module->stop();
        ::close(master);
        gchar* root = umockdev_testbed_get_root_dir(bed.get());
        std::string ptymap = std::string(root) + "/dev/.ptymap";
        g_free(root);
        if (DIR* dir = ::opendir(ptymap.c_str())) {
            while (dirent* entry = ::readdir(dir)) {
                if (entry->d_name[0] != '.') {
                    ::unlink((ptymap + "/" + entry->d_name).c_str());
                }
            }
            ::closedir(dir);
        }
        EXPECT_EQ(device.query("/get params all", 100ms, 1000us), std::nullopt);
        bed.remove_module("ttyACM0");
        ASSERT_TRUE(calls.wait_count(2));
        EXPECT_FALSE(device.write("$0"));
    }
    EXPECT_EQ(calls.events(), (std::vector<std::string>{"connect", "disconnect"}));
    g_object_unref(handler);
}

}  // namespace
