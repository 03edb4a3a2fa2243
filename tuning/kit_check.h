#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/backup.h"

namespace tuning {

using json = settings::json;

// One note the module played: the pad whose note it is (empty when no pad plays that note), its
// velocity, and when it arrived, in milliseconds of one monotonic clock.
struct hit {
    std::string pad;
    int velocity = 0;
    double t = 0;
};

enum class fault { double_trigger, crosstalk, clipping, never_loud };

// One value of a pad to change, in the units of the module's settings (microseconds for the
// times, fixed point for the gain), so that it drops into a settings file unchanged.
struct proposal {
    std::string param;
    std::int64_t from = 0;
    std::int64_t to = 0;
};

struct finding {
    fault kind;
    std::string pad;
    // The counts, times and velocities the finding rests on.
    json evidence;
    // Nothing when the setting that would help is at the end of its range already, or the module
    // reports no value for it.
    std::optional<proposal> change;
};

struct report {
    std::size_t hits = 0;
    // Whether there were hits enough to judge; with fewer, nothing is found.
    bool enough = false;
    std::vector<finding> findings;
};

// Fewer hits than this are no basis for any finding.
inline constexpr std::size_t least_hits = 30;
// The most hits one check takes: two minutes of the fastest playing, with room to spare.
inline constexpr std::size_t most_hits = 20000;

// Looks through the hits of one round for double triggers, crosstalk, clipping and pads that
// never get loud, and proposes for each the change of the pad's settings (as the module reports
// them) that should cure it, within the editor's limits. Findings come pad by pad in the order of
// the settings, each pad's in the order of the fault kinds.
report check(std::vector<hit> hits, const json& settings);

// The hits of a request body {"hits": [{"pad", "velocity", "t", ...}, ...]}; nothing when the
// text is not of that shape, holds a velocity outside 1..127 or a time that is not a finite
// number, or holds more than most_hits hits.
std::optional<std::vector<hit>> parse_hits(std::string_view text);

json to_json(const report& r);

}  // namespace tuning
