#include "sim/groove.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace sim {

namespace {

constexpr const char* port_id = "demo:Korvaline demo groove";
constexpr double full_scale = 1023.0;  // the sensor's largest reading

// A small deterministic generator per step, so a step plays the same whatever came before it.
class dice {
  public:
    dice(std::uint64_t seed, std::uint64_t salt, std::int64_t n)
        : state_(seed ^ (salt * 0xD1B54A32D192ED03ull) ^
                 (static_cast<std::uint64_t>(n) * 0x9E3779B97F4A7C15ull)) {}
    double uniform(double low, double high) {
        return low + (high - low) * static_cast<double>(next() >> 11) / 9007199254740992.0;
    }
    bool chance(double p) { return uniform(0, 1) < p; }

  private:
    std::uint64_t next() {  // splitmix64
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t state_;
};

// How one bar goes, drawn once per bar.
struct bar_plan {
    bool fill;     // a tom fill in its last quarter
    bool crash;    // a crash on its third beat too
    bool on_ride;  // the ride instead of the hi-hat
    bool opens;    // the hi-hat opened for the stroke before the bar's end
};

bar_plan plan_of(std::uint64_t seed, std::int64_t bar) {
    dice bar_dice(seed, 1, bar);
    bar_plan plan{};
    // A fill ends every fourth bar, and now and then another bar.
    plan.fill = bar % 4 == 3 || (bar % 4 == 1 && bar_dice.chance(0.25));
    plan.crash = bar % 2 == 0 || bar_dice.chance(0.3);
    plan.on_ride = bar % 8 >= 4;
    // Drawn from dice of their own, so that the strokes stay those of every earlier seed.
    plan.opens = !plan.on_ride && !plan.fill && dice(seed, 3, bar).chance(0.35);
    return plan;
}

struct stroke {
    std::string pad;
    double at_ms;  // from the start of its step
    double peak;   // on the pad's sensor, 0 to full scale
};

// The strokes of one sixteenth step, with the two planted sensor faults among them.
std::vector<stroke> strokes_of(std::uint64_t seed, std::int64_t n) {
    const int s = static_cast<int>(n % 16);
    const bar_plan plan = plan_of(seed, n / 16);
    // A crash opens every bar, and accents the third beat of most.
    const bool crash = s == 0 || (s == 8 && plan.crash);
    const bool on_ride = plan.on_ride;
    const bool in_fill = plan.fill && s >= 12;

    dice d(seed, 2, n);
    std::vector<stroke> out;
    const auto hit = [&](const char* pad, double low, double high) {
        out.push_back({pad, 6.0 + d.uniform(-4, 4), d.uniform(low, high)});
    };
    if (crash) {
        hit("crash1", 700, 1010);
    } else if (s % 2 == 0 && !in_fill) {
        const bool quarter = s % 4 == 0;
        if (on_ride) {
            hit("ride", quarter ? 480 : 330, quarter ? 720 : 450);
        } else {
            hit("hihat", quarter ? 480 : 260, quarter ? 760 : 430);
        }
    }
    if (s == 0 || s == 8 || (s == 10 && d.chance(0.5)) || (s == 6 && d.chance(0.2)) ||
        (s == 14 && d.chance(0.15))) {
        hit("kick", 440, 650);
    }
    if (in_fill) {
        hit(s < 14 ? "tom1" : s == 14 ? "tom2" : "tom3", 450, s == 15 ? 570 : 600);
    } else if (s == 4 || s == 12) {
        hit("snare", 560, 800);
        const stroke main = out.back();
        if (d.chance(0.65)) {  // the head rebounds onto the stick
            out.push_back(
                {"snare", main.at_ms + d.uniform(20, 30), main.peak * d.uniform(0.17, 0.24)});
        }
        if (d.chance(0.75)) {  // the snare's shell shakes tom1's sensor
            out.push_back(
                {"tom1", main.at_ms + d.uniform(4, 6), main.peak * d.uniform(0.04, 0.06)});
        }
    } else if (s % 2 == 1 && s < 12 && d.chance(0.12)) {
        hit("snare", 110, 200);  // a ghost note
    }
    return out;
}

// The cubic Bezier curve of the four points at x (0 to 255), found by bisection on x(t). Beyond
// the last point the signal has clipped and the output keeps rising past the curve's end.
double curve_at(const std::array<std::array<std::int64_t, 2>, 4>& p, double x) {
    const auto at = [&](int axis, double t) {
        const double u = 1 - t;
        return u * u * u * static_cast<double>(p[0][axis]) +
               3 * u * u * t * static_cast<double>(p[1][axis]) +
               3 * u * t * t * static_cast<double>(p[2][axis]) +
               t * t * t * static_cast<double>(p[3][axis]);
    };
    const double end_x = at(0, 1);
    if (x >= end_x) {
        return at(1, 1) + (x - end_x);
    }
    double low = 0, high = 1;
    for (int i = 0; i < 30; ++i) {
        const double mid = (low + high) / 2;
        (at(0, mid) < x ? low : high) = mid;
    }
    return at(1, (low + high) / 2);
}

int velocity_of(const module::pad_settings& pad, double peak) {
    const double threshold =
        std::clamp<double>(static_cast<double>(pad.threshold), 0, full_scale - 1);
    const double signal = peak * pad.gain;
    const double x = std::max(0.0, (signal - threshold) / (full_scale - threshold) * 255.0);
    const double y = curve_at(pad.curve, x);
    return static_cast<int>(std::clamp(std::lround(y / 2.0), 1l, 127l));
}

}  // namespace

std::vector<groove::note> groove::play(std::int64_t first, std::int64_t count,
                                       const std::vector<module::pad_settings>& pads) {
    std::vector<note> out;
    for (std::int64_t n = first; n < first + count; ++n) {
        std::vector<stroke> strokes = strokes_of(seed_, n);
        std::stable_sort(strokes.begin(), strokes.end(),
                         [](const stroke& a, const stroke& b) { return a.at_ms < b.at_ms; });
        for (const stroke& st : strokes) {
            const auto pad = std::find_if(pads.begin(), pads.end(),
                                          [&](const auto& p) { return p.name == st.pad; });
            if (pad == pads.end() || st.peak < static_cast<double>(pad->threshold)) {
                continue;
            }
            const auto at_us =
                static_cast<std::int64_t>((static_cast<double>(n * step_ms) + st.at_ms) * 1000);
            const auto last = last_note_us_.find(st.pad);
            if (last != last_note_us_.end() && at_us - last->second < pad->mask_us) {
                continue;
            }
            last_note_us_[st.pad] = at_us;
            out.push_back(
                {(at_us + pad->scan_us) / 1000, st.pad, pad->note, velocity_of(*pad, st.peak)});
        }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const note& a, const note& b) { return a.at_ms < b.at_ms; });
    return out;
}

std::vector<groove::pedal_move> groove::pedal(std::int64_t first, std::int64_t count) const {
    std::vector<pedal_move> out;
    for (std::int64_t n = first; n < first + count; ++n) {
        const int s = static_cast<int>(n % 16);
        const bar_plan plan = plan_of(seed_, n / 16);
        dice d(seed_, 4, n);
        // Three positions 40 ms apart within the step, a few values off now and then.
        const auto move = [&](int a, int b, int c) {
            const auto start = n * step_ms + 10;
            int i = 0;
            for (const int value : {a, b, c}) {
                const int jitter = value == 127 ? 0 : static_cast<int>(d.uniform(-4, 4));
                out.push_back({start + 40 * i++, std::clamp(value + jitter, 0, 127)});
            }
        };
        if (n == first && n == 0) {
            out.push_back({0, 127});  // the foot rests on the closed pedal
        }
        if (plan.opens && s == 13) {
            move(95, 50, 15);  // lifted for the open stroke of step 14
        } else if (plan.opens && s == 15) {
            move(60, 105, 127);  // closed again with the next bar
        } else if (plan.on_ride && (s == 2 || s == 10)) {
            move(110, 70, 40);
        } else if (plan.on_ride && (s == 3 || s == 11)) {
            move(75, 110, 127);  // the foot's "chick" on beats 2 and 4
        }
    }
    return out;
}

namespace {

// Plays the groove on a thread of its own, one step ahead, until destroyed.
class groove_connection : public midi::connection {
  public:
    groove_connection(const module& module, std::uint64_t seed,
                      std::function<void(const midi::message&)> deliver)
        : module_(module), groove_(seed), deliver_(std::move(deliver)) {
        thread_ = std::thread([this] { run(); });
    }
    ~groove_connection() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

  private:
    void run() {
        const auto start = midi::clock::now();
        std::unique_lock lock(mutex_);
        for (std::int64_t n = 0; !stopping_; ++n) {
            // The settings of the moment the step begins, as a drummer meets them.
            lock.unlock();
            std::vector<std::pair<std::int64_t, midi::message>> step;
            for (const groove::note& nt : groove_.play(n, 1, module_.pads())) {
                step.push_back({nt.at_ms,
                                {0x99,
                                 static_cast<std::uint8_t>(nt.note),
                                 static_cast<std::uint8_t>(nt.velocity),
                                 {}}});
            }
            for (const groove::pedal_move& m : groove_.pedal(n, 1)) {
                step.push_back({m.at_ms, {0xB9, 4, static_cast<std::uint8_t>(m.value), {}}});
            }
            // The notes come through the module: an unplugged one plays nothing.
            if (!module_.attached()) {
                step.clear();
            }
            std::stable_sort(step.begin(), step.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
            lock.lock();
            for (auto& [at_ms, message] : step) {
                const auto when = start + std::chrono::milliseconds(at_ms);
                if (wake_.wait_until(lock, when, [this] { return stopping_; })) {
                    return;
                }
                lock.unlock();
                message.time = midi::clock::now();
                deliver_(message);
                lock.lock();
            }
            const auto next = start + std::chrono::milliseconds((n + 1) * groove::step_ms);
            if (wake_.wait_until(lock, next, [this] { return stopping_; })) {
                return;
            }
        }
    }

    const module& module_;
    groove groove_;
    std::function<void(const midi::message&)> deliver_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace

std::vector<midi::port> groove_input::ports() {
    return {midi::port{port_id, port_name, "demo"}};
}

std::unique_ptr<midi::connection> groove_input::open(
    const midi::port& input, std::function<void(const midi::message&)> deliver,
    std::function<void()>) {
    if (input.id != port_id) {
        return nullptr;
    }
    return std::make_unique<groove_connection>(module_, seed_, std::move(deliver));
}

}  // namespace sim
