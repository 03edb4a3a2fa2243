// The program for a real module: finds it on the system's bus (or on the port that --port names),
// its bootloader through hidapi and its notes through RtMidi.

#include <memory>

#include "app/application.h"
#include "maintenance/hidapi_host.h"
#include "midi/rtmidi_system.h"
#include "platform/console.h"
#include "usb/named_port_bus.h"
#include "usb/system_bus.h"

int main(int argc, char** argv) {
    platform::attach_console();
    const app::startup start = app::read_command_line(
        argc, argv,
        {.name = "korvaline",
         .summary =
             "Edits the pad settings of the Korvaline drum-trigger module and updates its\n"
             "firmware. Finds the module on USB (0483:5740), serves its editor at\n"
             "http://127.0.0.1:5000/ and shows it in a window. Without a display, or with\n"
             "--headless, it serves the pages for a browser on this machine until Ctrl+C or\n"
             "SIGTERM.",
         .takes_port = true});
    if (start.exit_now) {
        return *start.exit_now;
    }
    // A port named on the command line is used as it is; otherwise the module is found by its ids.
    const std::unique_ptr<usb::bus> bus =
        start.options.port ? std::make_unique<usb::named_port_bus>(*start.options.port)
                           : usb::system_bus();
    hid::hidapi_host hid;
    midi::rtmidi_system midi;
    return app::run(app::seams{*bus, hid, midi}, start.options);
}
