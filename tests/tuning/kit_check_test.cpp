// What the kit check finds in rounds of hits, and what it proposes, at the edges of its rules.

#include "tuning/kit_check.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using tuning::hit;
using tuning::json;

// Gains in fixed point: 1.25, 1.20, 0.10, 1.60.
const json kit = json::parse(R"({
  "kick": {"mask": 38000, "decay": 120000, "threshold": 12, "gain": 49152},
  "snare": {"mask": 25000, "decay": 100000, "threshold": 18, "gain": 40960},
  "tom1": {"mask": 50000, "decay": 140000, "threshold": 16, "gain": 52429},
  "tom2": {"mask": 40000, "decay": 115000, "threshold": 4, "gain": 3277},
  "crash1": {"mask": 30000, "decay": 140000, "threshold": 100, "gain": 39322}})");

// Thirty kick strokes, 300 ms apart and never loud enough to clip: every round needs them, and
// they are over before the notes under test begin at 10 s.
std::vector<hit> round(std::vector<hit> more) {
    std::vector<hit> out;
    for (int i = 0; i < 30; ++i) {
        out.push_back({"kick", 100 + i % 10, 300.0 * i});
    }
    out.insert(out.end(), more.begin(), more.end());
    return out;
}

// Notes of one pad, one second apart from 10 s on, with these velocities.
std::vector<hit> strokes(const char* pad, std::vector<int> velocities, double first = 10000) {
    std::vector<hit> out;
    for (const int v : velocities) {
        out.push_back({pad, v, first});
        first += 1000;
    }
    return out;
}

// A note of `a` and, `gap` ms later, a note of `b`; each pair a second after the one before.
std::vector<hit> pairs(const char* a, const char* b, std::vector<std::array<double, 3>> notes) {
    std::vector<hit> out;
    double t = 10500;
    for (const auto& [first, second, gap] : notes) {
        out.push_back({a, static_cast<int>(first), t});
        out.push_back({b, static_cast<int>(second), t + gap});
        t += 1000;
    }
    return out;
}

std::string findings(const std::vector<hit>& hits) {
    const json answer = tuning::to_json(tuning::check(hits, kit));
    std::string out;
    for (const json& f : answer["findings"]) {
        out += (out.empty() ? "" : "; ") + f["pad"].get<std::string>() + " " +
               f["kind"].get<std::string>();
        if (f["kind"] == "crosstalk") {
            out += " from " + f["evidence"]["from"].get<std::string>();
        }
        const json& c = f["change"];
        out += c.is_null() ? " (no change)"
                           : " " + c["param"].get<std::string>() + " " + c["from"].dump() + " -> " +
                                 c["to"].dump();
    }
    return out;
}

TEST(kit_check, finds_each_fault_at_the_edges_of_its_rule_and_proposes_within_the_limits) {
    auto too_few = round(strokes("crash1", std::vector<int>(10, 127)));
    too_few.erase(too_few.begin(), too_few.begin() + 11);
    const std::vector<std::pair<std::vector<hit>, std::string>> cases = {
        {round({}), ""},
        // Exactly three echoes, the last at exactly half its stroke's velocity: 29 ms + 5 ms, and
        // 50 ms + 5 ms within the mask's range.
        {round(pairs("snare", "snare", {{100, 40, 21}, {90, 30, 29}, {80, 40, 25}})),
         "snare double_trigger mask 25000 -> 34000"},
        {round(pairs("snare", "snare", {{100, 40, 50}, {90, 30, 21}, {80, 40, 25}})),
         "snare double_trigger mask 25000 -> 50000"},
        // Two echoes, a third a little louder than half, a fourth at 60 ms: no fault.
        {round(pairs("snare", "snare", {{100, 40, 21}, {90, 30, 29}, {80, 41, 25}, {80, 20, 60}})),
         ""},
        // An echo the mask already covers, and a mask at its limit: a longer decay.
        {round(pairs("snare", "snare", {{100, 40, 12}, {90, 30, 15}, {80, 40, 19}})),
         "snare double_trigger decay 100000 -> 120000"},
        {round(pairs("tom1", "tom1", {{100, 40, 52}, {90, 30, 59}, {80, 40, 45}})),
         "tom1 double_trigger decay 140000 -> 150000"},
        // Crosstalk at exactly 30% and 10 ms; +25%, and at least +2.
        {round(pairs("snare", "tom1", {{100, 30, 5}, {120, 20, 10}, {90, 10, 3}})),
         "tom1 crosstalk from snare threshold 16 -> 20"},
        {round(pairs("snare", "tom2", {{100, 30, 5}, {120, 20, 10}, {90, 10, 3}})),
         "tom2 crosstalk from snare threshold 4 -> 6"},
        // A loud real tom1 stroke inside the window, and one weak note 11 ms after: no crosstalk.
        {round(pairs("snare", "tom1", {{100, 30, 5}, {120, 20, 10}, {90, 28, 3}, {90, 10, 11}})),
         ""},
        {round(pairs("snare", "crash1", {{100, 30, 5}, {120, 20, 10}, {90, 10, 3}})),
         "crash1 crosstalk from snare (no change)"},
        // Clipping at exactly 10% of ten strokes: 1.20 -> 1.02; not at one in eleven.
        {round(strokes("crash1", {127, 100, 100, 100, 100, 100, 100, 100, 100, 100})),
         "crash1 clipping gain 39322 -> 33423"},
        {round(strokes("crash1", {127, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100})), ""},
        {round(strokes("tom2", {127, 100, 100, 100, 100, 100, 100, 100, 100, 100})),
         "tom2 clipping (no change)"},
        {round(strokes("ride", {127, 100, 100, 100, 100, 100, 100, 100, 100, 100})),
         "ride clipping (no change)"},
        // Never loud: ten strokes under 100 (1.60 -> 1.84); nine are not enough.
        {round(strokes("tom1", {99, 60, 60, 60, 60, 60, 60, 60, 60, 60})),
         "tom1 never_loud gain 52429 -> 60293"},
        {round(strokes("tom1", {99, 60, 60, 60, 60, 60, 60, 60, 60})), ""},
        // Crosstalk notes are no strokes: ten weak ones do not make tom1 a quiet pad.
        {round(pairs("snare", "tom1",
                     {{100, 20, 5},
                      {100, 20, 5},
                      {100, 20, 5},
                      {100, 20, 5},
                      {100, 20, 5},
                      {100, 20, 5},
                      {100, 20, 5},
                      {100, 20, 5},
                      {100, 20, 5},
                      {100, 20, 5}})),
         "tom1 crosstalk from snare threshold 16 -> 20"},
        // Twenty-nine hits with a clear fault: too few to say anything.
        {too_few, ""},
    };
    for (const auto& [hits, expected] : cases) {
        EXPECT_EQ(findings(hits), expected) << "case " << (&expected - &cases[0].second);
    }
}

TEST(kit_check, reads_only_well_formed_hits) {
    const auto hits =
        tuning::parse_hits(R"({"hits": [{"pad": "snare", "note": 38, "velocity": 127, "t": 5}, )"
                           R"({"pad": null, "note": 99, "velocity": 1, "t": 6.5}]})");
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), 2u);
    EXPECT_EQ((*hits)[1].pad, "");
    EXPECT_EQ((*hits)[1].t, 6.5);
    for (const char* bad : {R"({"hits": [{"pad": "snare", "velocity": 0, "t": 5}]})",
                            R"({"hits": [{"pad": "snare", "velocity": 128, "t": 5}]})",
                            R"({"hits": [{"pad": 3, "velocity": 100, "t": 5}]})",
                            R"({"hits": [{"pad": "snare", "velocity": 100}]})",
                            R"({"hits": [{"pad": "snare", "velocity": 100, "t": "5"}]})",
                            R"({"hits": {}})", R"([])"}) {
        EXPECT_FALSE(tuning::parse_hits(bad)) << bad;
    }
}

}  // namespace
