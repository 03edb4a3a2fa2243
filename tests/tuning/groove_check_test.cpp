// The kit check on the demo's groove: a 20 s round finds the three planted faults and nothing
// else, and once its proposals reach the simulated module through a restore's plan, the pads
// answer them and the next round finds less.

#include <gtest/gtest.h>

#include <set>

#include "settings/module_link.h"
#include "settings/plan.h"
#include "sim/groove.h"
#include "tests/support/module_rig.h"
#include "tuning/kit_check.h"

namespace {

using tuning::fault;
using namespace std::chrono_literals;

TEST(groove_check, finds_the_planted_faults_and_its_proposals_lessen_them) {
    test::module_rig rig(5463, {.reply_delay = 1ms, .start = sim::starting_settings::lifelike});
    const std::int64_t steps = 20'000 / sim::groove::step_ms;
    const auto check = [&](std::uint64_t seed) {
        std::vector<tuning::hit> hits;
        for (const auto& n : sim::groove(seed).play(0, steps, rig.module.pads())) {
            hits.push_back({n.pad, n.velocity, double(n.at_ms)});
        }
        return tuning::check(hits, *settings::read_module(rig.device));
    };
    const auto found = [](const tuning::report& r) {
        std::set<std::pair<std::string, fault>> out;
        for (const auto& f : r.findings) {
            out.insert({f.pad, f.kind});
        }
        return out;
    };
    const auto first = check(7);
    ASSERT_EQ(found(first),
              (std::set<std::pair<std::string, fault>>{{"snare", fault::double_trigger},
                                                       {"tom1", fault::crosstalk},
                                                       {"crash1", fault::clipping}}));

    auto wanted = *settings::read_module(rig.device);
    for (const auto& f : first.findings) {
        ASSERT_TRUE(f.change) << f.pad;
        wanted[f.pad][f.change->param] = f.change->to;
    }
    const auto plan = settings::make_plan(wanted, *settings::read_module(rig.device));
    ASSERT_EQ(plan.changes.size(), 3u);
    ASSERT_TRUE(settings::send(rig.device, plan));
    for (const std::uint64_t seed : {7, 8}) {
        const auto again = check(seed);
        EXPECT_LT(again.findings.size(), first.findings.size()) << seed;
        EXPECT_FALSE(found(again).contains({"snare", fault::double_trigger})) << seed;
        EXPECT_FALSE(found(again).contains({"crash1", fault::clipping})) << seed;
    }
}

}  // namespace
