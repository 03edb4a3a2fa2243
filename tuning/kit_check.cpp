#include "tuning/kit_check.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace tuning {

namespace {

// A second note this soon after a note of the same pad, at most half as loud, is the same stroke
// sounding twice.
constexpr double double_window_ms = 60;
// A note this soon after a much louder note of another pad is that stroke heard by this pad.
constexpr double crosstalk_window_ms = 10;
// Two strokes played together come out with comparable velocities; crosstalk is far weaker.
constexpr int crosstalk_share_percent = 30;
// A fault seen fewer times than this could be one odd stroke.
constexpr int least_occurrences = 3;
// A pad needs this many strokes before its loudness is judged.
constexpr std::size_t least_strokes = 10;
constexpr int top_velocity = 127;
constexpr int clipping_percent = 10;
constexpr int loud_velocity = 100;

// The editor's limits in the module's units, and the margins of the proposals.
constexpr std::int64_t us_per_ms = 1000;
constexpr std::int64_t mask_min_ms = 10;
constexpr std::int64_t mask_max_ms = 50;
constexpr double mask_margin_ms = 5;
constexpr std::int64_t decay_min_ms = 10;
constexpr std::int64_t decay_max_ms = 150;
constexpr double decay_factor = 1.2;
constexpr std::int64_t threshold_min = 1;
constexpr std::int64_t threshold_max = 100;
constexpr double threshold_factor = 1.25;
constexpr std::int64_t threshold_least_step = 2;
constexpr std::int64_t gain_min_hundredths = 10;
constexpr std::int64_t gain_max_hundredths = 500;
constexpr double gain_down = 0.85;
constexpr double gain_up = 1.15;
// The module keeps gains in fixed point with 15 fraction bits and takes them with two decimals.
constexpr std::int64_t gain_one = 32768;

// What became of each note: a stroke, or a fault's echo of another note.
enum class role { stroke, double_note, crosstalk_note };

// The lowest and highest of some numbers, as evidence.
struct span {
    double low = INFINITY;
    double high = -INFINITY;
    void add(double v) {
        low = std::min(low, v);
        high = std::max(high, v);
    }
    json to_json() const { return json::array({low, high}); }
};

struct double_evidence {
    int count = 0;
    span gap_ms;
    span strokes;
    span echoes;
};

struct crosstalk_evidence {
    int count = 0;
    std::map<std::string, int> sources;
    span gap_ms;
    span sources_velocity;
    span echoes;
};

struct stroke_evidence {
    std::size_t count = 0;
    std::size_t at_top = 0;
    int loudest = 0;
};

struct pad_evidence {
    double_evidence doubles;
    crosstalk_evidence crosstalk;
    stroke_evidence strokes;
};

std::optional<std::int64_t> setting(const json& settings, const std::string& pad,
                                    const char* param) {
    // find() on anything but an object finds nothing.
    const auto pad_settings = settings.find(pad);
    if (pad_settings == settings.end()) {
        return std::nullopt;
    }
    const auto value = pad_settings->find(param);
    if (value == pad_settings->end() || !value->is_number()) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(std::llround(value->get<double>()));
}

// A proposal only where it changes something: at the end of a range there is nothing to propose.
std::optional<proposal> propose(bool changes, const char* param, std::int64_t from,
                                std::int64_t to) {
    return changes ? std::optional<proposal>(proposal{param, from, to}) : std::nullopt;
}

std::int64_t hundredths(std::int64_t gain) {
    return (gain * 100 + gain_one / 2) / gain_one;
}

// The fixed-point value the module makes of a gain sent with two decimals.
std::int64_t from_hundredths(std::int64_t h) {
    return (h * gain_one + 50) / 100;
}

// A longer mask covers the longest echo with a margin; where the mask already covers it or can
// grow no longer, the echo outlasts the mask and a longer decay must hold it down.
std::optional<proposal> cure_double(const json& settings, const std::string& pad,
                                    const double_evidence& e) {
    if (const auto mask = setting(settings, pad, "mask")) {
        const auto wanted =
            std::clamp(static_cast<std::int64_t>(std::ceil(e.gap_ms.high + mask_margin_ms)),
                       mask_min_ms, mask_max_ms);
        if (wanted * us_per_ms > *mask) {
            return propose(true, "mask", *mask, wanted * us_per_ms);
        }
    }
    const auto decay = setting(settings, pad, "decay");
    if (!decay) {
        return std::nullopt;
    }
    const double decay_ms = static_cast<double>(*decay) / us_per_ms;
    const auto wanted = std::clamp(static_cast<std::int64_t>(std::ceil(decay_ms * decay_factor)),
                                   decay_min_ms, decay_max_ms);
    return propose(wanted * us_per_ms > *decay, "decay", *decay, wanted * us_per_ms);
}

std::optional<proposal> cure_crosstalk(const json& settings, const std::string& pad) {
    const auto threshold = setting(settings, pad, "threshold");
    if (!threshold) {
        return std::nullopt;
    }
    const auto raised = std::max(
        static_cast<std::int64_t>(std::ceil(static_cast<double>(*threshold) * threshold_factor)),
        *threshold + threshold_least_step);
    const auto wanted = std::clamp(raised, threshold_min, threshold_max);
    return propose(wanted > *threshold, "threshold", *threshold, wanted);
}

std::optional<proposal> cure_loudness(const json& settings, const std::string& pad, double factor) {
    const auto gain = setting(settings, pad, "gain");
    if (!gain) {
        return std::nullopt;
    }
    const std::int64_t now = hundredths(*gain);
    const auto wanted =
        std::clamp(static_cast<std::int64_t>(std::llround(static_cast<double>(now) * factor)),
                   gain_min_hundredths, gain_max_hundredths);
    // A gain outside the editor's range is brought into it only in the direction asked for.
    const bool changes = factor < 1 ? wanted < now : wanted > now;
    return propose(changes, "gain", *gain, from_hundredths(wanted));
}

// The pad that caused most of a pad's crosstalk.
std::string main_source(const crosstalk_evidence& e) {
    const auto most =
        std::max_element(e.sources.begin(), e.sources.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
    return most->first;
}

// Marks each note that echoes an earlier one and gathers the evidence of every pad.
std::map<std::string, pad_evidence> gather(const std::vector<hit>& hits) {
    std::map<std::string, pad_evidence> pads;
    std::map<std::string, std::size_t> previous;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        const hit& h = hits[i];
        if (h.pad.empty()) {
            continue;
        }
        pad_evidence& pad = pads[h.pad];
        role what = role::stroke;
        if (const auto last = previous.find(h.pad); last != previous.end()) {
            const hit& before = hits[last->second];
            const double gap = h.t - before.t;
            if (gap < double_window_ms && 2 * h.velocity <= before.velocity) {
                what = role::double_note;
                ++pad.doubles.count;
                pad.doubles.gap_ms.add(gap);
                pad.doubles.strokes.add(before.velocity);
                pad.doubles.echoes.add(h.velocity);
            }
        }
        previous[h.pad] = i;
        // The loudest note of another pad within the window is the stroke this one may echo.
        const hit* source = nullptr;
        for (std::size_t j = i;
             what == role::stroke && j-- > 0 && h.t - hits[j].t <= crosstalk_window_ms;) {
            const hit& other = hits[j];
            if (!other.pad.empty() && other.pad != h.pad &&
                100 * h.velocity <= crosstalk_share_percent * other.velocity &&
                (source == nullptr || other.velocity > source->velocity)) {
                source = &other;
            }
        }
        if (source != nullptr) {
            what = role::crosstalk_note;
            ++pad.crosstalk.count;
            ++pad.crosstalk.sources[source->pad];
            pad.crosstalk.gap_ms.add(h.t - source->t);
            pad.crosstalk.sources_velocity.add(source->velocity);
            pad.crosstalk.echoes.add(h.velocity);
        }
        // Echoes are no strokes: they would make a pad look softer than it is played.
        if (what == role::stroke) {
            ++pad.strokes.count;
            pad.strokes.at_top += h.velocity >= top_velocity ? 1 : 0;
            pad.strokes.loudest = std::max(pad.strokes.loudest, h.velocity);
        }
    }
    return pads;
}

void judge(const json& settings, const std::string& name, const pad_evidence& pad,
           std::vector<finding>& out) {
    const auto& d = pad.doubles;
    if (d.count >= least_occurrences) {
        out.push_back({fault::double_trigger, name,
                       json{{"count", d.count},
                            {"gap_ms", d.gap_ms.to_json()},
                            {"strokes", d.strokes.to_json()},
                            {"echoes", d.echoes.to_json()}},
                       cure_double(settings, name, d)});
    }
    const auto& c = pad.crosstalk;
    if (c.count >= least_occurrences) {
        out.push_back({fault::crosstalk, name,
                       json{{"count", c.count},
                            {"from", main_source(c)},
                            {"gap_ms", c.gap_ms.to_json()},
                            {"strokes", c.sources_velocity.to_json()},
                            {"echoes", c.echoes.to_json()}},
                       cure_crosstalk(settings, name)});
    }
    const auto& s = pad.strokes;
    if (s.count < least_strokes) {
        return;
    }
    if (100 * s.at_top >= clipping_percent * s.count) {
        out.push_back({fault::clipping, name, json{{"count", s.at_top}, {"of", s.count}},
                       cure_loudness(settings, name, gain_down)});
    } else if (s.loudest < loud_velocity) {
        out.push_back({fault::never_loud, name, json{{"loudest", s.loudest}, {"of", s.count}},
                       cure_loudness(settings, name, gain_up)});
    }
}

const char* fault_name(fault f) {
    switch (f) {
        case fault::double_trigger:
            return "double_trigger";
        case fault::crosstalk:
            return "crosstalk";
        case fault::clipping:
            return "clipping";
        default:
            return "never_loud";
    }
}

}  // namespace

report check(std::vector<hit> hits, const json& settings) {
    report out;
    out.hits = hits.size();
    out.enough = hits.size() >= least_hits;
    if (!out.enough) {
        return out;
    }
    // Notes arrive in order, but a page may have collected them from more than one stream.
    std::stable_sort(hits.begin(), hits.end(),
                     [](const hit& a, const hit& b) { return a.t < b.t; });
    auto pads = gather(hits);
    // The pads in the order the module lists them, then any the settings do not know.
    if (settings.is_object()) {
        for (const auto& [name, _] : settings.items()) {
            if (const auto pad = pads.find(name); pad != pads.end()) {
                judge(settings, name, pad->second, out.findings);
                pads.erase(pad);
            }
        }
    }
    for (const auto& [name, pad] : pads) {
        judge(settings, name, pad, out.findings);
    }
    return out;
}

std::optional<std::vector<hit>> parse_hits(std::string_view text) {
    const auto body = settings::parse_object(text);
    if (!body || !body->contains("hits") || !(*body)["hits"].is_array() ||
        (*body)["hits"].size() > most_hits) {
        return std::nullopt;
    }
    std::vector<hit> out;
    for (const json& item : (*body)["hits"]) {
        if (!item.is_object()) {
            return std::nullopt;
        }
        const auto pad = item.find("pad");
        const auto velocity = item.find("velocity");
        const auto t = item.find("t");
        const bool pad_ok = pad != item.end() && (pad->is_null() || pad->is_string());
        if (!pad_ok || velocity == item.end() || !velocity->is_number_integer() ||
            t == item.end() || !t->is_number() || !std::isfinite(t->get<double>())) {
            return std::nullopt;
        }
        const auto v = velocity->get<std::int64_t>();
        if (v < 1 || v > top_velocity) {
            return std::nullopt;
        }
        out.push_back({pad->is_string() ? pad->get<std::string>() : std::string(),
                       static_cast<int>(v), t->get<double>()});
    }
    return out;
}

json to_json(const report& r) {
    json findings = json::array();
    for (const finding& f : r.findings) {
        json change = nullptr;
        if (f.change) {
            change = {{"pad", f.pad},
                      {"param", f.change->param},
                      {"from", f.change->from},
                      {"to", f.change->to}};
        }
        findings.push_back({{"kind", fault_name(f.kind)},
                            {"pad", f.pad},
                            {"evidence", f.evidence},
                            {"change", change}});
    }
    return {
        {"hits", r.hits}, {"enough", r.enough}, {"least_hits", least_hits}, {"findings", findings}};
}

}  // namespace tuning
