#include "sim/noise.h"

#include <array>

namespace sim {

namespace {

struct noise_profile {
    int hum;        // the lowest reading
    int spread;     // the hum varies over this many steps above it
    int jump_odds;  // one reading in this many starts a jump
    int jump;       // the smallest rise of a jump; the largest is twice as much
};

// Indexed by pad number; number 3 names no pad and gets the fallback. Cymbals ring and pick up
// the whole kit, drums with thick heads hardly anything.
constexpr std::array<noise_profile, 10> profiles{{
    {1, 3, 30, 4},  // kick
    {3, 4, 20, 5},  // snare
    {8, 7, 15, 7},  // hi-hat
    {2, 4, 25, 4},  // (no pad)
    {5, 5, 20, 6},  // crash 1
    {2, 4, 25, 5},  // tom 1
    {2, 3, 25, 5},  // tom 3
    {4, 5, 20, 6},  // ride
    {2, 4, 25, 5},  // tom 2
    {5, 5, 20, 6},  // crash 2
}};

}  // namespace

std::uint32_t pad_noise::next() {
    // A small linear congruential generator: the readings only have to look alive.
    seed_ = seed_ * 1664525u + 1013904223u;
    return seed_ >> 8;
}

int pad_noise::level(int pad) {
    const noise_profile& p =
        profiles[pad >= 0 && static_cast<std::size_t>(pad) < profiles.size() ? pad : 3];
    const int hum = p.hum + static_cast<int>(next() % static_cast<std::uint32_t>(p.spread));
    if (burst_left_ == 0 && next() % static_cast<std::uint32_t>(p.jump_odds) == 0) {
        burst_left_ = 2 + static_cast<int>(next() % 5);
        burst_extra_ = p.jump + static_cast<int>(next() % static_cast<std::uint32_t>(p.jump + 1));
    }
    if (burst_left_ > 0) {
        --burst_left_;
        return hum + burst_extra_;
    }
    return hum;
}

}  // namespace sim
