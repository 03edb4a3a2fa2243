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
// MIDI notes are found, and under which name the configuration file keeps the chosen MIDI input
// (the two share the file, but an input of one is nothing the other can open). Everything else is
// built by run() alike.
struct seams {
    usb::bus& bus;
    hid::host& hid;
    midi::system& midi;
    const char* midi_choice_key = "midi_input";
};

// Builds every long-lived object in order, serves the pages on 127.0.0.1:5000, shows the window
// (or serves headless when there is no display, or when the options ask for it) until it is closed
// or SIGINT/SIGTERM arrives, and tears everything down in order. Returns the process exit status.
int run(const seams& seams, const options& options = {});

}  // namespace app
