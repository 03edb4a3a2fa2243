// The program for a real module: finds it through libudev, its bootloader through hidapi and its
// notes through RtMidi.

#include "app/application.h"
#include "maintenance/hidapi_host.h"
#include "midi/rtmidi_system.h"
#include "usb/udev_bus.h"

int main(int argc, char** argv) {
    const app::startup start = app::read_command_line(
        argc, argv,
        {"korvaline",
         "Edits the pad settings of the Korvaline drum-trigger module and updates its\n"
         "firmware. Finds the module on USB (0483:5740), serves its editor at\n"
         "http://127.0.0.1:5000/ and shows it in a window. Without a display, or with\n"
         "--headless, it serves the pages for a browser on this machine until Ctrl+C or\n"
         "SIGTERM."});
    if (start.exit_now) {
        return *start.exit_now;
    }
    usb::udev_bus bus;
    hid::hidapi_host hid;
    midi::rtmidi_system midi;
    return app::run(app::seams{bus, hid, midi}, start.options);
}
