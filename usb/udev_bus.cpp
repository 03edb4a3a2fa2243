#include "usb/udev_bus.h"

#include <libudev.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "usb/system_bus.h"

namespace usb {

namespace {

struct udev_unref_deleter {
    void operator()(udev* u) const { udev_unref(u); }
};
struct enumerate_unref_deleter {
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
struct device_unref_deleter {
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
using udev_ptr = std::unique_ptr<udev, udev_unref_deleter>;
using enumerate_ptr = std::unique_ptr<udev_enumerate, enumerate_unref_deleter>;
using device_ptr = std::unique_ptr<udev_device, device_unref_deleter>;

std::string system_message(int error) {
    return std::strerror(error < 0 ? -error : error);
}

udev_ptr open_context() {
    udev_ptr context(udev_new());
    if (!context) {
        throw bus_error("The list of USB devices cannot be read (" + system_message(errno) + ").");
    }
    return context;
}

// A hexadecimal sysfs attribute such as idVendor ("0483") or bInterfaceNumber ("00").
std::optional<unsigned long> hex_attribute(udev_device* device, const char* name) {
    const char* text = udev_device_get_sysattr_value(device, name);
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 16);
    while (end != nullptr && (*end == '\n' || *end == ' ')) {
        ++end;
    }
    if (end == nullptr || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

// A search of one subsystem, narrowed by `narrow` before the scan.
template <typename Narrow>
enumerate_ptr scan(udev* context, const char* subsystem, Narrow narrow) {
    enumerate_ptr enumerate(udev_enumerate_new(context));
    if (!enumerate) {
        throw bus_error("The list of USB devices cannot be read (" + system_message(errno) + ").");
    }
    udev_enumerate_add_match_subsystem(enumerate.get(), subsystem);
    narrow(enumerate.get());
    const int result = udev_enumerate_scan_devices(enumerate.get());
    if (result < 0) {
        throw bus_error("The list of USB devices cannot be read (" + system_message(result) + ").");
    }
    return enumerate;
}

// The device node of the tty on interface 0 of this USB device (empty when the tty has no node),
// or nothing when it has no such tty. Only the device's own descendants are read.
std::optional<std::string> interface_tty(udev* context, udev_device* usb_device) {
    const std::string own_path = udev_device_get_syspath(usb_device);
    enumerate_ptr enumerate = scan(
        context, "tty", [&](udev_enumerate* e) { udev_enumerate_add_match_parent(e, usb_device); });
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        device_ptr tty(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        if (!tty) {
            continue;  // gone since the scan
        }
        // Parents belong to the child device: they are not released separately.
        udev_device* interface =
            udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_interface");
        if (interface == nullptr || hex_attribute(interface, "bInterfaceNumber") != 0UL) {
            continue;
        }
        // A hub's descendants include the devices behind it: the interface must be this device's.
        udev_device* owner =
            udev_device_get_parent_with_subsystem_devtype(interface, "usb", "usb_device");
        if (owner == nullptr || own_path != udev_device_get_syspath(owner)) {
            continue;
        }
        const char* node = udev_device_get_devnode(tty.get());
        return node ? node : "";
    }
    return std::nullopt;
}

}  // namespace

std::optional<found_device> udev_bus::find_device(std::uint16_t vendor, std::uint16_t product) {
    udev_ptr context = open_context();

    // Polled four times a second for as long as the program runs, so the search reads as little
    // of sysfs as it can: libudev matches the ids on the few USB devices, and only a match has its
    // ttys looked at. Walking every tty of the machine up to its USB parent instead cost about
    // 3 ms of CPU per search, more than 1% of a core.
    enumerate_ptr enumerate = scan(context.get(), "usb", [&](udev_enumerate* e) {
        // Interfaces have no such attributes: only USB devices match.
        char id[5];
        std::snprintf(id, sizeof id, "%04x", vendor);
        udev_enumerate_add_match_sysattr(e, "idVendor", id);
        std::snprintf(id, sizeof id, "%04x", product);
        udev_enumerate_add_match_sysattr(e, "idProduct", id);
    });

    // A module is most useful with its tty bound, so such a device comes first; otherwise any
    // device with the ids: it is present, and asking for its port will say what is missing.
    std::optional<found_device> first;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        device_ptr device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!device) {
            continue;  // gone since the scan
        }
        found_device candidate{udev_device_get_syspath(device.get())};
        if (interface_tty(context.get(), device.get())) {
            return candidate;
        }
        if (!first) {
            first = std::move(candidate);
        }
    }
    return first;
}

std::string udev_bus::serial_port_name(const found_device& device) {
    udev_ptr context = open_context();
    device_ptr usb_device(udev_device_new_from_syspath(context.get(), device.id.c_str()));
    if (!usb_device) {
        throw bus_error("The module has left the USB bus.");
    }
    const std::optional<std::string> node = interface_tty(context.get(), usb_device.get());
    if (!node) {
        throw bus_error("The module has no serial port on its interface 0.");
    }
    if (node->empty()) {
        throw bus_error("The serial port of the module has no device node.");
    }
    return *node;
}

std::unique_ptr<bus> system_bus() {
    return std::make_unique<udev_bus>();
}

}  // namespace usb
