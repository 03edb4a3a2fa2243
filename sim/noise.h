#pragma once

#include <cstdint>

namespace sim {

// The background level that a pad reports while nobody plays it. Every pad hums at a level of its
// own (a kick drum's pad is quiet, a hi-hat's is noisy), and now and then a few readings in a row
// jump higher, as when a loud drum next to the pad is hit. The sequence is the same on every run
// for the same seed, so the demo behaves alike each time.
class pad_noise {
  public:
    explicit pad_noise(std::uint32_t seed) : seed_(seed) {}

    // The next reading of the pad with this number (the number that "$N" selects it by).
    int level(int pad);
    // The next number of the underlying generator; the module's other live readings use it too.
    std::uint32_t next();

  private:
    std::uint32_t seed_;
    int burst_left_ = 0;   // readings still to come from the current jump
    int burst_extra_ = 0;  // how much the current jump adds to the hum
};

}  // namespace sim
