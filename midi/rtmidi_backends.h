#pragma once

// The back ends of rtmidi_system: what they share, and the list each system builds (one file per
// system). Only the rtmidi_system files include this.

#include <RtMidi.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "midi/rtmidi_system.h"

namespace midi {

// The name our RtMidi clients carry in the system's lists.
inline constexpr const char* rtmidi_client_name = "Korvaline";

// One back end's list of inputs. A back end whose system is absent lists nothing; its list is
// opened again at most once per retry period, so a system that starts later is found.
struct rtmidi_system::backend {
    explicit backend(RtMidi::Api a) : api(a) {}
    virtual ~backend() = default;

    // Opens the list, or false when the system is absent. Never says anything on standard error.
    virtual bool open_list() = 0;
    // The inputs' names, or nothing when the system has gone since the list was opened.
    virtual std::optional<std::vector<std::string>> names() = 0;
    virtual void close_list() = 0;

    const RtMidi::Api api;
    bool open = false;
    clock::time_point next_try{};
};

// A back end listed through an RtMidiIn of its own, which RtMidi keeps quiet.
struct rtmidi_lister : rtmidi_system::backend {
    explicit rtmidi_lister(RtMidi::Api a) : backend(a) {}

    bool open_list() override;
    std::optional<std::vector<std::string>> names() override;
    void close_list() override;

  private:
    std::unique_ptr<RtMidiIn> lister_;
};

// The back ends of this system that RtMidi was built with, in the order they are listed.
std::vector<std::unique_ptr<rtmidi_system::backend>> system_backends();

}  // namespace midi
