#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "midi/system.h"

class RtMidiIn;

namespace midi {

// The machine's MIDI inputs through RtMidi, from each of the system's back ends: on Linux the ALSA
// sequencer and JACK, on Windows its MultiMedia inputs (rtmidi_backends_*.cpp). A back end whose
// system is absent (no sequencer device, no JACK server) lists nothing and says nothing; it is
// tried again every second, so a JACK server started (or restarted) later is found. Listing opens
// no client that takes part in the JACK server's cycles: only an open input does.
class rtmidi_system : public system {
  public:
    rtmidi_system();
    ~rtmidi_system() override;

    std::vector<port> ports() override;
    std::unique_ptr<connection> open(const port& input, std::function<void(const message&)> deliver,
                                     std::function<void()> lost) override;

    // One back end's list of inputs, defined beside the implementation.
    struct backend;

  private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<backend>> backends_;
};

}  // namespace midi
