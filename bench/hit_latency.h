#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace bench {

// The hits of a MIDI input, end to end: a JACK server with the dummy driver (a private server
// name), a sender with a JACK MIDI port whose name the program takes by itself, and the real
// program (headless, no module) publishing each note as a hit on its event stream.
struct hit_figures {
    std::vector<double> latency_ms;  // note sent on the JACK port -> its text on the stream
    double cpu_percent = -1;         // of the program, while 20 hits a second arrive
    int period_frames = 0;
    int rate = 0;
    std::string failure;  // why nothing was measured, when nothing was
};

hit_figures measure_hits(const std::string& program, int samples, std::chrono::seconds cpu_window);

}  // namespace bench
