#include "settings/plan.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace settings {

namespace {

// The limits of the editor's controls, in the units of the module's settings: the note field,
// the gain slider (hundredths), the threshold slider, the scan, mask and decay fields of the
// time chart (milliseconds sent as microseconds), the curve editor's 0..255 square, and the
// hi-hat controller's sliders.
struct rule {
    std::string_view param;
    value_kind kind;
    std::int64_t min;
    std::int64_t max;
};

constexpr std::array pad_rules = {
    rule{"note", value_kind::whole, 0, 256},       rule{"gain", value_kind::gain, 10, 500},
    rule{"threshold", value_kind::whole, 1, 100},  rule{"scan", value_kind::whole, 2000, 10000},
    rule{"mask", value_kind::whole, 10000, 50000}, rule{"decay", value_kind::whole, 10000, 150000},
    rule{"curve", value_kind::curve, 0, 255},
};
constexpr std::array controller_rules = {
    rule{"timeout", value_kind::whole, 5000, 25000},
    rule{"threshold", value_kind::whole, 10, 100},
    rule{"offset", value_kind::whole, 1, 127},
};
constexpr std::array trigger_rules = {rule{"threshold", value_kind::whole, 200, 2000}};

// A member of the settings, the name its commands give it and, for pads, the number that selects
// it.
struct group {
    std::string_view member;
    std::string_view target;
    int number;
    std::span<const rule> rules;
};

constexpr std::array groups = {
    group{"kick", "kick", 0, pad_rules},          group{"snare", "snare", 1, pad_rules},
    group{"hihat", "hihat", 2, pad_rules},        group{"crash1", "crash1", 4, pad_rules},
    group{"crash2", "crash2", 9, pad_rules},      group{"tom1", "tom1", 5, pad_rules},
    group{"tom2", "tom2", 8, pad_rules},          group{"tom3", "tom3", 6, pad_rules},
    group{"ride", "ride", 7, pad_rules},          group{"hhc", "fsrc", -1, controller_rules},
    group{"hhc_trig", "fsrt", -1, trigger_rules},
};

constexpr std::int64_t gain_one = 32768;
// Larger magnitudes than this are certainly outside every limit and would lose precision.
constexpr double largest_whole = 1e15;

using points = std::array<std::array<std::int64_t, 2>, 4>;

// A value of either outcome: the checked value or the reason it cannot be sent.
template <typename T>
struct checked {
    std::optional<T> value;
    std::string why;
};

checked<std::int64_t> whole(const json& v) {
    if (!v.is_number()) {
        return {std::nullopt, "not a number"};
    }
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(largest_whole)) {
            return {std::nullopt, "too large"};
        }
        return {static_cast<std::int64_t>(u), {}};
    }
    if (v.is_number_integer()) {
        return {v.get<std::int64_t>(), {}};
    }
    const double d = v.get<double>();
    if (std::floor(d) != d) {
        return {std::nullopt, "not a whole number"};
    }
    if (std::abs(d) > largest_whole) {
        return {std::nullopt, "too large"};
    }
    return {static_cast<std::int64_t>(d), {}};
}

std::string outside(std::int64_t min, std::int64_t max) {
    return "outside " + std::to_string(min) + " to " + std::to_string(max);
}

// The gain in hundredths, rounded to the nearest (halves away from zero).
std::int64_t hundredths(std::int64_t gain) {
    const std::int64_t scaled = gain * 100;
    return scaled >= 0 ? (scaled + gain_one / 2) / gain_one
                       : -((-scaled + gain_one / 2) / gain_one);
}

std::string gain_text(std::int64_t h) {
    const std::string cents = std::to_string(100 + h % 100);
    return std::to_string(h / 100) + "." + cents.substr(1);
}

// The four points of a curve, or why it is none; limits are not looked at here.
checked<points> curve_points(const json& v) {
    const std::string not_curve = "not a curve of four [x, y] points";
    if (!v.is_object() || !v.contains("p") || !v["p"].is_array() || v["p"].size() != 4) {
        return {std::nullopt, not_curve};
    }
    points out{};
    for (std::size_t i = 0; i < 4; ++i) {
        const json& point = v["p"][i];
        if (!point.is_array() || point.size() != 2) {
            return {std::nullopt, not_curve};
        }
        for (std::size_t j = 0; j < 2; ++j) {
            const auto c = whole(point[j]);
            if (!c.value) {
                return {std::nullopt, "curve point " + std::string(c.why)};
            }
            out[i][j] = *c.value;
        }
    }
    return {out, {}};
}

// Whether the module's value equals the file's, as the editor can tell them apart.
bool same(value_kind kind, const json& want, const json& have) {
    if (kind == value_kind::curve) {
        const auto a = curve_points(want);
        const auto b = curve_points(have);
        return a.value && b.value && *a.value == *b.value;
    }
    const auto a = whole(want);
    const auto b = whole(have);
    if (!a.value || !b.value) {
        return false;
    }
    return kind == value_kind::gain ? hundredths(*a.value) == hundredths(*b.value)
                                    : *a.value == *b.value;
}

std::string set_command(const group& g, std::string_view param, const std::string& value) {
    return "/set " + std::string(g.target) + " " + std::string(param) + " " + value;
}

// The commands that set one value, or why the editor could never send it.
checked<change> convert(const group& g, const rule& r, const json& value) {
    change c{std::string(g.member), std::string(r.param), nullptr, value, r.kind, {}, {}, false};
    if (r.kind == value_kind::curve) {
        const auto p = curve_points(value);
        if (!p.value) {
            return {std::nullopt, p.why};
        }
        std::string text;
        for (const auto& point : *p.value) {
            for (const std::int64_t coordinate : point) {
                if (coordinate < r.min || coordinate > r.max) {
                    return {std::nullopt, "curve point " + outside(r.min, r.max)};
                }
            }
            text += (text.empty() ? "[" : ",[") + std::to_string(point[0]) + "," +
                    std::to_string(point[1]) + "]";
        }
        // The editor keeps the first point on the left edge and the last on the right one.
        if ((*p.value)[0][0] != r.min || (*p.value)[3][0] != r.max) {
            return {std::nullopt, "curve does not run from x 0 to x 255"};
        }
        c.commands = {{"$" + std::to_string(g.number), false},
                      {"/set curve snare {\"p\":[" + text + "]}", false}};
        return {std::move(c), {}};
    }
    const auto number = whole(value);
    if (!number.value) {
        return {std::nullopt, number.why};
    }
    if (r.kind == value_kind::gain) {
        const std::int64_t h = *number.value >= 0 ? hundredths(*number.value) : -1;
        if (h < r.min || h > r.max) {
            return {std::nullopt, "outside 0.10 to 5.00"};
        }
        c.sent_gain = gain_text(h);
        // The module keeps the gain it is sent as the nearest fixed-point value; a file holding
        // exactly that value (as every backup of the module does) is not rounded.
        c.rounded = (h * gain_one + 50) / 100 != *number.value;
        c.commands = {{set_command(g, r.param, c.sent_gain), true}};
        return {std::move(c), {}};
    }
    if (*number.value < r.min || *number.value > r.max) {
        return {std::nullopt, outside(r.min, r.max)};
    }
    c.commands = {{set_command(g, r.param, std::to_string(*number.value)), true}};
    return {std::move(c), {}};
}

const json* member(const json& object, std::string_view name) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

}  // namespace

plan make_plan(const json& file, const json& module) {
    plan out;
    for (const group& g : groups) {
        const json* wanted = member(file, g.member);
        if (wanted == nullptr) {
            continue;
        }
        if (!wanted->is_object()) {
            out.skipped.push_back({std::string(g.member), nullptr, *wanted, "not an object"});
            continue;
        }
        const json* current = member(module, g.member);
        for (const rule& r : g.rules) {
            const json* value = member(*wanted, r.param);
            if (value == nullptr) {
                continue;
            }
            const json* have = current == nullptr ? nullptr : member(*current, r.param);
            if (have != nullptr && same(r.kind, *value, *have)) {
                continue;
            }
            auto converted = convert(g, r, *value);
            if (!converted.value) {
                out.skipped.push_back(
                    {std::string(g.member), std::string(r.param), *value, converted.why});
                continue;
            }
            converted.value->from = have == nullptr ? json(nullptr) : *have;
            out.changes.push_back(std::move(*converted.value));
        }
    }
    return out;
}

bool holds(const json& module, const change& c) {
    const json* pad = member(module, c.pad);
    const json* have = pad == nullptr ? nullptr : member(*pad, c.param);
    return have != nullptr && same(c.kind, c.to, *have);
}

json to_json(const change& c) {
    json out = {{"pad", c.pad}, {"param", c.param}, {"from", c.from}, {"to", c.to}};
    if (c.kind == value_kind::gain) {
        out["sent"] = c.sent_gain;
        out["rounded"] = c.rounded;
    }
    return out;
}

json to_json(const skip& s) {
    return {{"pad", s.pad}, {"param", s.param}, {"value", s.value}, {"why", s.why}};
}

}  // namespace settings
