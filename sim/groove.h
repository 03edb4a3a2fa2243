#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/system.h"
#include "sim/module.h"

namespace sim {

// A drummer playing a kit wired to the simulated module: a seeded groove at 100 BPM in sixteenth
// steps (kick, snare with ghost notes, hi-hat, now and then a tom fill, ride and crash), with
// a drummer's uneven strength and timing, and three faults of a real kit: the snare rebounds a
// second, much weaker stroke 20-30 ms after hard strokes, the snare's hard strokes reach tom1's
// sensor about 5 ms later, and the crash is struck hard enough to clip.
//
// Strokes are physical: each has a peak on its pad's sensor. The module's settings decide what
// they become, as the module would: a stroke below the pad's threshold or within its mask after
// the pad's last note plays nothing; otherwise the peak, amplified by the gain, goes through the
// velocity curve. So a longer snare mask removes the rebounds, a higher tom1 threshold the
// crosstalk, and a lower crash gain the clipped hits.
class groove {
  public:
    static constexpr std::int64_t step_ms = 150;  // a sixteenth at 100 BPM

    struct note {
        std::int64_t at_ms;  // from the start of step 0
        std::string pad;
        int note;
        int velocity;
    };

    // A position of the hi-hat pedal, as control change 4 carries it: 127 closed, 0 open.
    struct pedal_move {
        std::int64_t at_ms;  // from the start of step 0
        int value;
    };

    explicit groove(std::uint64_t seed) : seed_(seed) {}

    // The notes of steps [first, first + count) through these settings. The pads' masks carry over
    // from earlier calls, so successive calls play one continuous groove.
    std::vector<note> play(std::int64_t first, std::int64_t count,
                           const std::vector<module::pad_settings>& pads);

    // The foot on the hi-hat pedal in steps [first, first + count): closed from the start while
    // the hi-hat plays, lifted for an open stroke before the end of a bar now and then and closed
    // again on the next bar, and on the ride a foot that lifts and closes the hi-hat on beats 2
    // and 4. Moves are at least 40 ms apart, within the rate the program passes on.
    std::vector<pedal_move> pedal(std::int64_t first, std::int64_t count) const;

  private:
    std::uint64_t seed_;
    std::map<std::string, std::int64_t> last_note_us_;
};

// The demo's MIDI input "Korvaline demo groove": plays a groove in real time through the
// simulated module's current settings.
class groove_input : public midi::system {
  public:
    static constexpr const char* port_name = "Korvaline demo groove";

    groove_input(const module& module, std::uint64_t seed) : module_(module), seed_(seed) {}

    std::vector<midi::port> ports() override;
    std::unique_ptr<midi::connection> open(const midi::port& input,
                                           std::function<void(const midi::message&)> deliver,
                                           std::function<void()> lost) override;

  private:
    const module& module_;
    std::uint64_t seed_;
};

}  // namespace sim
