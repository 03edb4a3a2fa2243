// What a restore sends for each value of a file, against a module holding other values.

#include "settings/plan.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using settings::json;

const json module = json::parse(R"({
  "kick": {"note": 36, "gain": 49152, "threshold": 10, "scan": 3000, "mask": 20000,
           "decay": 130000, "curve": {"p": [[0, 0], [192, 192], [128, 64], [256, 256]]}},
  "hhc": {"timeout": 9000, "threshold": 30, "offset": 105},
  "hhc_trig": {"threshold": 400, "scan": 15000}})");

// The commands of a one-value file, "skip" when it is skipped, "" when nothing is to be done.
std::string outcome(const json& file) {
    const auto plan = settings::make_plan(file, module);
    std::string out = plan.skipped.empty() ? "" : "skip";
    for (const auto& change : plan.changes) {
        for (const auto& command : change.commands) {
            out += (out.empty() ? "" : " | ") + command.text;
        }
        out += change.rounded ? " (rounded)" : "";
    }
    return out;
}

TEST(restore_plan, sends_each_value_as_the_editor_would_in_the_editors_order) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {R"({"kick": {"threshold": 100}})", "/set kick threshold 100"},
        {R"({"kick": {"threshold": 0}})", "skip"},
        {R"({"kick": {"threshold": 101}})", "skip"},
        {R"({"kick": {"threshold": 4.5}})", "skip"},
        {R"({"kick": {"threshold": "42"}})", "skip"},
        {R"({"kick": {"scan": 2000, "mask": 50000}})",
         "/set kick scan 2000 | /set kick mask 50000"},
        {R"({"kick": {"gain": 65536}})", "/set kick gain 2.00"},
        {R"({"kick": {"gain": 3276}})", "/set kick gain 0.10 (rounded)"},
        {R"({"kick": {"gain": 39322}})", "/set kick gain 1.20"},
        {R"({"kick": {"gain": 49160}})", ""},
        {R"({"kick": {"gain": 164004}})", "skip"},
        {R"({"kick": {"curve": {"p": [[0, 1], [2, 3], [4, 5], [255, 6]], "x": 1}}})",
         R"($0 | /set curve snare {"p":[[0,1],[2,3],[4,5],[255,6]]})"},
        {R"({"kick": {"curve": {"p": [[0, 0], [192, 192], [128, 64], [256, 256]]}}})", ""},
        {R"({"kick": {"curve": {"p": [[0, 0], [192, 192], [128, 64], [256, 255]]}}})", "skip"},
        {R"({"kick": {"curve": {"p": [[5, 0], [192, 192], [128, 64], [255, 255]]}}})", "skip"},
        {R"({"kick": {"curve": {"p": [[0, 0], [192, 192], [255, 255]]}}})", "skip"},
        {R"({"hhc": {"timeout": 5000, "offset": 127}})",
         "/set fsrc timeout 5000 | /set fsrc offset 127"},
        {R"({"hhc_trig": {"threshold": 2000, "scan": 1}})", "/set fsrt threshold 2000"},
        {R"({"kick": {"colour": 3}, "cowbell": {"note": 56}})", ""},
        {R"({"hhc": {"offset": 5}, "snare": {"threshold": 5, "curve": {"p": [[0, 1], [2, 3],
            [4, 5], [255, 6]]}}, "kick": {"note": 40}})",
         "/set kick note 40 | /set snare threshold 5 | $1 | "
         R"(/set curve snare {"p":[[0,1],[2,3],[4,5],[255,6]]} | /set fsrc offset 5)"},
    };
    for (const auto& [file, expected] : cases) {
        EXPECT_EQ(outcome(json::parse(file)), expected) << file;
    }
}

}  // namespace
