// The program for a real module: finds it through libudev and its bootloader through hidapi.
#include <iostream>
#include <string_view>
#include <vector>

#include "app/application.h"
#include "maintenance/hidapi_host.h"
#include "usb/udev_bus.h"

int main(int argc, char** argv) {
    const app::command_line command =
        app::parse_command_line(std::vector<std::string_view>(argv + 1, argv + argc));
    if (command.what != app::command_line::request::run) {
        return app::answer(
            command,
            {"korvaline",
             "Edits the pad settings of the Korvaline drum-trigger module and updates its\n"
             "firmware. Finds the module on USB (0483:5740), serves its editor at\n"
             "http://127.0.0.1:5000/ and shows it in a window. Without a display, or with\n"
             "--headless, it serves the pages for a browser on this machine until Ctrl+C or\n"
             "SIGTERM."},
            std::cout, std::cerr);
    }
    usb::udev_bus bus;
    hid::hidapi_host hid;
    return app::run(app::seams{bus, hid}, command.options);
}
