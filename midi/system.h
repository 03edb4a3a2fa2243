#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace midi {

using clock = std::chrono::steady_clock;

// One MIDI input as a system offers it. The id is stable while the input exists and names it
// across back ends; the name is what its owner calls it and what a remembered choice holds.
struct port {
    std::string id;
    std::string name;
    std::string api;
};

// A note-on or control change of the input, its three bytes as they came, and when it arrived.
struct message {
    std::uint8_t status = 0;
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;
    clock::time_point time;
};

// An open input. Delivery stops once it is destroyed.
class connection {
  public:
    virtual ~connection() = default;
};

// Where MIDI inputs come from: the real MIDI systems of the machine, or the demo's groove.
class system {
  public:
    virtual ~system() = default;

    // The inputs there are now.
    virtual std::vector<port> ports() = 0;

    // Opens the input, or gives nothing when it cannot be opened. Until the connection is
    // destroyed, deliver() receives every note-on and control change on a thread of the system,
    // and lost() is called (at most once) when the system learns that the input went away.
    virtual std::unique_ptr<connection> open(const port& input,
                                             std::function<void(const message&)> deliver,
                                             std::function<void()> lost) = 0;
};

}  // namespace midi
