#pragma once

#include "app/options.h"

namespace usb {
class bus;
}
namespace hid {
class host;
}
namespace midi {
class system;
}

namespace app {

// What differs between the real program and the demo: where the module, its bootloader and its
// MIDI notes are found. Everything else is built by run() alike.
struct seams {
    usb::bus& bus;
    hid::host& hid;
    midi::system& midi;
};

// Builds every long-lived object in order, serves the pages on 127.0.0.1:5000, shows the window
// (or serves headless when there is no display, or when the options ask for it) until it is closed
// or SIGINT/SIGTERM arrives, and tears everything down in order. Returns the process exit status.
int run(const seams& seams, const options& options = {});

}  // namespace app
