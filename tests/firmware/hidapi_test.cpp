// The real hidapi path against an emulated hidraw bootloader (umockdev): enumerate, open, 65-byte
// writes and timed reads, in a whole transfer.

#include "maintenance/hidapi_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <cstring>
#include <deque>
#include <mutex>

#include "maintenance/transfer.h"

using namespace std::chrono_literals;

namespace {

// A vendor-defined collection with 64-byte input and output reports and no report ids.
const std::string descriptor_hex = "0600FF0901A101150026FF00750895400901810209019102C0";
const std::string hid = "/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/0003:1209:BEBA.0001";
const std::string records =
    "P: /devices/pci0000:00/0000:00:14.0/usb1/1-3\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
    "A: idVendor=1209\nA: idProduct=beba\nA: manufacturer=Talverin Acoustics\nA: product=Korvaline "
    "Bootloader\nA: serial=1\n\nP: /devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0\n"
    "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\n\nP: " +
    hid +
    "\nE: SUBSYSTEM=hid\nE: HID_ID=0003:00001209:0000BEBA\nE: HID_NAME=Korvaline Bootloader\nE: "
    "HID_UNIQ=\nH: report_descriptor=" +
    descriptor_hex + "\n\nP: " + hid +
    "/hidraw/hidraw0\nN: hidraw0\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw0\n"
    "A: dev=241:0\nL: device=../../../0003:1209:BEBA.0001\n";

// The bootloader behind /dev/hidraw0. Its handlers run on umockdev's worker thread and never
// block it: hidapi polls the node before it reads, and the node turns readable only once a report
// is queued (one "doorbell" byte per report on the pty behind the node).
struct emulated_bootloader {
    emulated_bootloader() {
        for (std::size_t i = 0; i < descriptor_hex.size(); i += 2) {
            descriptor.push_back(
                static_cast<std::uint8_t>(std::stoi(descriptor_hex.substr(i, 2), nullptr, 16)));
        }
        umockdev_testbed_add_from_string(bed, records.c_str(), nullptr);
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(on_ioctl), this);
        g_signal_connect(handler, "handle-write", G_CALLBACK(on_write), this);
        g_signal_connect(handler, "handle-read", G_CALLBACK(on_read), this);
        umockdev_testbed_attach_ioctl(bed, "/dev/hidraw0", handler, nullptr);
        master = umockdev_testbed_get_dev_fd(bed, "/dev/hidraw0");
        bell = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    }
    ~emulated_bootloader() {
        umockdev_testbed_detach_ioctl(bed, "/dev/hidraw0", nullptr);
        g_object_unref(handler);
        ::close(bell);
        g_object_unref(bed);
    }

    static void reply(UMockdevIoctlClient* client, const void* value, std::size_t size) {
        UMockdevIoctlData* data =
            umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, nullptr);
        std::memcpy(data->data, value, size);
        g_object_unref(data);
        umockdev_ioctl_client_complete(client, 0, 0);
    }
    static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto& me = *static_cast<emulated_bootloader*>(self);
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        hidraw_report_descriptor value{static_cast<__u32>(me.descriptor.size()), {}};
        std::memcpy(value.value, me.descriptor.data(), me.descriptor.size());
        const hidraw_devinfo info{3, 0x1209, static_cast<__s16>(0xBEBA)};
        if (request == HIDIOCGRDESCSIZE) {
            reply(client, &value.size, sizeof(int));
        } else if (request == HIDIOCGRDESC) {
            reply(client, &value, sizeof value);
        } else if (request == HIDIOCGRAWINFO) {
            reply(client, &info, sizeof info);
        } else {
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
        }
        return TRUE;
    }
    // Command 0 is acknowledged with 2, command 1 with 1, each 1024-byte page with 2; 4 is not.
    static gboolean on_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto& me = *static_cast<emulated_bootloader*>(self);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::lock_guard lock(me.mutex);
        me.writes.emplace_back(arg->data, arg->data + arg->data_len);
        const auto& report = me.writes.back();
        int ack = -1;
        if (report.size() == 65 && std::memcmp(report.data() + 1, "BTLDCMD", 7) == 0) {
            ack = report[8] == 0 ? 2 : report[8] == 1 ? 1 : -1;
        } else if (report.size() == 65) {
            me.image.append(reinterpret_cast<const char*>(report.data() + 1), 64);
            ack = me.image.size() % 1024 == 0 ? 2 : -1;
        }
        if (ack >= 0) {
            me.reports.push_back(static_cast<std::uint8_t>(ack));
            [[maybe_unused]] auto rung = ::write(me.master, "\1", 1);
        }
        umockdev_ioctl_client_complete(client, static_cast<glong>(report.size()), 0);
        return TRUE;
    }
    // A 64-byte input report whose bytes 0 and 7 hold the acknowledgement.
    static gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto& me = *static_cast<emulated_bootloader*>(self);
        std::uint8_t report[64] = {};
        std::unique_lock lock(me.mutex);
        if (me.reports.empty()) {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return TRUE;
        }
        report[0] = report[7] = me.reports.front();
        me.reports.pop_front();
        lock.unlock();
        char doorbell;
        [[maybe_unused]] auto got = ::read(me.bell, &doorbell, 1);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        const auto size = std::min<std::size_t>(arg->data_len, 64);
        umockdev_ioctl_data_update(arg, 0, report, static_cast<gint>(size));
        umockdev_ioctl_client_complete(client, static_cast<glong>(size), 0);
        return TRUE;
    }

    UMockdevTestbed* bed = umockdev_testbed_new();
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    int master = -1, bell = -1;
    std::vector<std::uint8_t> descriptor;
    std::mutex mutex;
    std::vector<std::vector<std::uint8_t>> writes;
    std::deque<std::uint8_t> reports;
    std::string image;
};

TEST(HidapiHost, AWholeTransferThroughHidraw) {
    emulated_bootloader emulated;
    hid::hidapi_host host;
    EXPECT_TRUE(host.enumerate(0x0483, 0x5740).empty());
    std::vector<std::string> events;
    const firmware::link link{[](const std::string&) { return true; },
                              [&](std::string text) { events.push_back(text); }};
    const firmware::pacing pace{.step = 1ms, .bootloader = {.ack_timeout = 3000ms}};
    std::string image = "Korvaline by Talverin Acoustics";
    image.resize(1500, 'k');
    testing::internal::CaptureStdout();
    EXPECT_TRUE(firmware::transfer(image, link, host, pace));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(events.back(), std::string(firmware::end_event));

    // Commands 4 and 0, 32 data reports, command 1: every one 65 bytes with report id 0.
    std::lock_guard lock(emulated.mutex);
    ASSERT_EQ(emulated.writes.size(), 2u + 32u + 1u);
    for (std::size_t i = 0; i < emulated.writes.size(); ++i) {
        const auto& w = emulated.writes[i];
        ASSERT_EQ(w.size(), 65u);
        EXPECT_EQ(w[0], 0);
        const int command = i == 0 ? 4 : i == 1 ? 0 : i == 34 ? 1 : -1;
        EXPECT_EQ(command >= 0, std::memcmp(w.data() + 1, "BTLDCMD", 7) == 0 && w[8] == command)
            << i;
    }
    image.resize(2048, '\0');
    EXPECT_EQ(emulated.image, image);
}

}  // namespace
