#include "usb/udev_bus.h"

#include <libudev.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

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

bool has_ids(udev_device* usb_device, std::uint16_t vendor, std::uint16_t product) {
    return hex_attribute(usb_device, "idVendor") == vendor &&
           hex_attribute(usb_device, "idProduct") == product;
}

enumerate_ptr scan(udev* context, const char* subsystem) {
    enumerate_ptr enumerate(udev_enumerate_new(context));
    if (!enumerate) {
        throw bus_error("The list of USB devices cannot be read (" + system_message(errno) + ").");
    }
    udev_enumerate_add_match_subsystem(enumerate.get(), subsystem);
    int result = udev_enumerate_scan_devices(enumerate.get());
    if (result < 0) {
        throw bus_error("The list of USB devices cannot be read (" + system_message(result) + ").");
    }
    return enumerate;
}

// A tty that belongs to interface 0 of a USB device.
struct usb_tty {
    std::string usb_device;  // sysfs path of the USB device
    std::string node;        // device node of the tty; empty when it has none
};

// Every tty on interface 0 of some USB device, in enumeration (sysfs path) order.
template <typename Visit>
void for_each_usb_tty(udev* context, Visit visit) {
    enumerate_ptr enumerate = scan(context, "tty");
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
        udev_device* usb_device =
            udev_device_get_parent_with_subsystem_devtype(interface, "usb", "usb_device");
        if (usb_device == nullptr) {
            continue;
        }
        const char* node = udev_device_get_devnode(tty.get());
        if (visit(usb_device, usb_tty{udev_device_get_syspath(usb_device), node ? node : ""})) {
            return;
        }
    }
}

}  // namespace

std::optional<found_device> udev_bus::find_device(std::uint16_t vendor, std::uint16_t product) {
    udev_ptr context = open_context();

    // A module is most useful with its tty bound, so such a device comes first.
    std::optional<found_device> found;
    for_each_usb_tty(context.get(), [&](udev_device* usb_device, const usb_tty& tty) {
        if (!has_ids(usb_device, vendor, product)) {
            return false;
        }
        found = found_device{tty.usb_device};
        return true;
    });
    if (found) {
        return found;
    }

    // Otherwise any USB device with the ids: it is present, and asking for its port will say what
    // is missing.
    enumerate_ptr enumerate = scan(context.get(), "usb");
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        device_ptr device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!device) {
            continue;
        }
        const char* type = udev_device_get_devtype(device.get());
        if (type != nullptr && std::strcmp(type, "usb_device") == 0 &&
            has_ids(device.get(), vendor, product)) {
            return found_device{udev_device_get_syspath(device.get())};
        }
    }
    return std::nullopt;
}

std::string udev_bus::serial_port_name(const found_device& device) {
    udev_ptr context = open_context();
    device_ptr usb_device(udev_device_new_from_syspath(context.get(), device.id.c_str()));
    if (!usb_device) {
        throw bus_error("The module has left the USB bus.");
    }
    std::optional<std::string> node;
    for_each_usb_tty(context.get(), [&](udev_device*, const usb_tty& tty) {
        if (tty.usb_device != device.id) {
            return false;
        }
        node = tty.node;
        return true;
    });
    if (!node) {
        throw bus_error("The module has no serial port on its interface 0.");
    }
    if (node->empty()) {
        throw bus_error("The serial port of the module has no device node.");
    }
    return *node;
}

}  // namespace usb
