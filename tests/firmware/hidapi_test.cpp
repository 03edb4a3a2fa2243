// The real hidapi path, end to end, against an emulated hidraw bootloader (umockdev): enumerate,
// open, 65-byte writes, timed reads, and a whole transfer through it.

#include "maintenance/hidapi_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "maintenance/bootloader.h"
#include "maintenance/transfer.h"
#include "tests/firmware/recorder.h"

using namespace std::chrono_literals;

namespace {

// A vendor-defined collection with 64-byte input and output reports and no report ids.
const std::vector<std::uint8_t> descriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00,
                                              0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01,
                                              0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0};

std::string records() {
    std::string hex;
    char byte[3];
    for (const auto b : descriptor) {
        std::snprintf(byte, sizeof byte, "%02X", b);
        hex += byte;
    }
    const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-3";
    const std::string hid = usb + "/1-3:1.0/0003:1209:BEBA.0001";
    return "P: " + usb +
           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=1209\nA: idProduct=beba\n"
           "A: manufacturer=Talverin Acoustics\nA: product=Korvaline Bootloader\nA: serial=1\n\n"
           "P: " +
           usb +
           "/1-3:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\n\n"
           "P: " +
           hid +
           "\nE: SUBSYSTEM=hid\nE: HID_ID=0003:00001209:0000BEBA\nE: HID_NAME=Korvaline "
           "Bootloader\nE: HID_UNIQ=\nH: report_descriptor=" +
           hex + "\n\nP: " + hid +
           "/hidraw/hidraw0\nN: hidraw0\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw0\n"
           "A: dev=241:0\nL: device=../../../0003:1209:BEBA.0001\n";
}

// The bootloader behind /dev/hidraw0. Its handlers run on umockdev's worker thread and never
// block it: a read finds its report queued already, because hidapi polls the node first and the
// node only turns readable when a report has been queued (one "doorbell" byte per report on the
// pty behind the node).
class emulated_bootloader {
  public:
    emulated_bootloader() : bed_(umockdev_testbed_new()) {
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(bed_, records().c_str(), &error)) {
            throw std::runtime_error(error->message);
        }
        handler_ = umockdev_ioctl_base_new();
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(on_ioctl), this);
        g_signal_connect(handler_, "handle-write", G_CALLBACK(on_write), this);
        g_signal_connect(handler_, "handle-read", G_CALLBACK(on_read), this);
        if (!umockdev_testbed_attach_ioctl(bed_, "/dev/hidraw0", handler_, &error)) {
            throw std::runtime_error(error->message);
        }
        master_ = umockdev_testbed_get_dev_fd(bed_, "/dev/hidraw0");
        if (master_ < 0) {
            throw std::runtime_error("no pty behind /dev/hidraw0");
        }
        bell_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_NONBLOCK);
    }
    ~emulated_bootloader() {
        umockdev_testbed_detach_ioctl(bed_, "/dev/hidraw0", nullptr);
        g_object_unref(handler_);
        if (bell_ >= 0) {
            ::close(bell_);
        }
        g_object_unref(bed_);
    }

    std::vector<std::vector<std::uint8_t>> writes() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    std::string image() const {
        std::lock_guard lock(mutex_);
        return image_;
    }

    // Queues one 64-byte input report whose bytes 0 and 7 hold code.
    void answer(std::uint8_t code) {
        std::array<std::uint8_t, 64> report{};
        report[0] = code;
        report[7] = code;
        {
            std::lock_guard lock(mutex_);
            reports_.push_back(report);
        }
        const char doorbell = 1;
        [[maybe_unused]] auto written = ::write(master_, &doorbell, 1);
    }

  private:
    // Completes an ioctl by copying `value` to the caller's argument.
    template <typename T>
    static void reply_with(UMockdevIoctlClient* client, const T& value) {
        GError* error = nullptr;
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client),
                                                              0, sizeof value, &error);
        std::memcpy(data->data, &value, sizeof value);
        g_object_unref(data);
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, 0, 0);
    }

    static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        if (request == HIDIOCGRDESCSIZE) {
            reply_with(client, static_cast<int>(descriptor.size()));
        } else if (request == HIDIOCGRDESC) {
            hidraw_report_descriptor value{};
            value.size = static_cast<__u32>(descriptor.size());
            std::memcpy(value.value, descriptor.data(), descriptor.size());
            reply_with(client, value);
        } else if (request == HIDIOCGRAWINFO) {
            reply_with(client, hidraw_devinfo{3, 0x1209, static_cast<__s16>(0xBEBA)});
        } else {
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
        }
        return TRUE;
    }

    static gboolean on_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* me = static_cast<emulated_bootloader*>(self);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::vector<std::uint8_t> report(arg->data, arg->data + arg->data_len);
        int ack = -1;
        {
            std::lock_guard lock(me->mutex_);
            me->writes_.push_back(report);
            if (report.size() == 65 && std::memcmp(report.data() + 1, "BTLDCMD", 7) == 0) {
                ack = report[8] == 0 ? 2 : report[8] == 1 ? 1 : -1;
            } else if (report.size() == 65) {
                me->image_.append(reinterpret_cast<const char*>(report.data() + 1), 64);
                ack = me->image_.size() % 1024 == 0 ? 2 : -1;
            }
        }
        if (ack >= 0) {
            me->answer(static_cast<std::uint8_t>(ack));
        }
        umockdev_ioctl_client_complete(client, static_cast<glong>(report.size()), 0);
        return TRUE;
    }

    static gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* me = static_cast<emulated_bootloader*>(self);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::array<std::uint8_t, 64> report{};
        {
            std::lock_guard lock(me->mutex_);
            if (me->reports_.empty()) {
                umockdev_ioctl_client_complete(client, -1, EAGAIN);
                return TRUE;
            }
            report = me->reports_.front();
            me->reports_.pop_front();
        }
        char doorbell;
        [[maybe_unused]] auto got = ::read(me->bell_, &doorbell, 1);
        const auto size = std::min<std::size_t>(static_cast<std::size_t>(arg->data_len), 64);
        umockdev_ioctl_data_update(arg, 0, report.data(), static_cast<gint>(size));
        umockdev_ioctl_client_complete(client, static_cast<glong>(size), 0);
        return TRUE;
    }

    UMockdevTestbed* bed_;
    UMockdevIoctlBase* handler_ = nullptr;
    int master_ = -1;
    int bell_ = -1;
    mutable std::mutex mutex_;
    std::vector<std::vector<std::uint8_t>> writes_;
    std::deque<std::array<std::uint8_t, 64>> reports_;
    std::string image_;
};

TEST(HidapiHost, FindsOpensWritesAndReadsTheBootloader) {
    emulated_bootloader emulated;
    hid::hidapi_host host;
    const auto found = host.enumerate(0x1209, 0xBEBA);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, "/dev/hidraw0");
    EXPECT_TRUE(host.enumerate(0x0483, 0x5740).empty());

    auto opened = host.open(found[0]);
    ASSERT_EQ(opened.status, hid::open_status::opened);
    std::array<std::uint8_t, 9> buffer{};
    // Nothing queued: a timed read returns empty-handed.
    EXPECT_EQ(opened.device->read(buffer, 50ms), 0);
    emulated.answer(5);
    EXPECT_EQ(opened.device->read(buffer, 2000ms), 9);
    EXPECT_EQ(buffer[7], 5);
}

TEST(HidapiHost, AWholeTransferThroughHidraw) {
    emulated_bootloader emulated;
    hid::hidapi_host host;
    test::recorder events;
    firmware::pacing pace;
    pace.step = 1ms;
    pace.bootloader.ack_timeout = 3000ms;
    std::string image = "Korvaline by Talverin Acoustics";
    image.resize(1500, 'k');
    testing::internal::CaptureStdout();
    EXPECT_TRUE(firmware::transfer(image, events.link(), host, pace));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("checksum = "), std::string::npos);
    EXPECT_EQ(events.events().back(), std::string(firmware::end_event));

    // Commands 4 and 0, 32 data reports, command 1: every one 65 bytes with report id 0.
    const auto writes = emulated.writes();
    ASSERT_EQ(writes.size(), 2u + 32u + 1u);
    for (const auto& w : writes) {
        ASSERT_EQ(w.size(), 65u);
        EXPECT_EQ(w[0], 0);
    }
    std::vector<std::uint8_t> command(65, 0);
    std::memcpy(command.data() + 1, "BTLDCMD", 7);
    command[8] = 4;
    EXPECT_EQ(writes[0], command);
    command[8] = 0;
    EXPECT_EQ(writes[1], command);
    command[8] = 1;
    EXPECT_EQ(writes.back(), command);
    std::string padded = image;
    padded.resize(2048, '\0');
    EXPECT_EQ(emulated.image(), padded);
}

}  // namespace
