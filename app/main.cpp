// The program for a real module: finds it through libudev and its bootloader through hidapi.
#include "app/application.h"
#include "maintenance/hidapi_host.h"
#include "usb/udev_bus.h"

int main() {
    usb::udev_bus bus;
    hid::hidapi_host hid;
    return app::run(app::seams{bus, hid});
}
