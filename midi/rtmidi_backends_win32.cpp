#include "midi/rtmidi_backends.h"

namespace midi {

// Windows' one back end: the Windows MultiMedia inputs, which are always there to list (an empty
// list without a MIDI device), and which RtMidi asks the system for anew on every call, so a
// device plugged in later is found.
std::vector<std::unique_ptr<rtmidi_system::backend>> system_backends() {
    std::vector<std::unique_ptr<rtmidi_system::backend>> backends;
    backends.push_back(std::make_unique<rtmidi_lister>(RtMidi::WINDOWS_MM));
    return backends;
}

}  // namespace midi
