// A module that answers garbage, never answers, or answers after the time-out: the settings
// requests fail fast with their failure answers, the write-only requests are not held up, and once
// the module behaves again the next requests work. In-process, on port 5720.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

#include "tests/sim/rig.h"
#include "web/router.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr int port = 5720;
const std::string set_failure = R"({"type": "error", "error": "Cannot set parameter value"})";
const std::string set_success = R"({"type": "message", "message": "success"})";

// The shared module rig with the router on it and one keep-alive client.
struct rig : test::rig {
    rig() : test::rig(port, {}) {
        router.emplace(server, device);
        serve();
        client.set_read_timeout(30, 0);
        client.set_keep_alive(true);
    }
    ~rig() { stop_server(); }  // before the router goes

    // Time taken by one request, with its answer.
    std::pair<long, httplib::Result> timed_get(const std::string& path) {
        const auto start = clock_type::now();
        auto res = client.Get(path);
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start)
                .count();
        return {static_cast<long>(took), std::move(res)};
    }

    // Whether the module's whole settings come back within a few requests: stale bytes of a late
    // reply may lead one answer, never more.
    bool settings_come_back() {
        for (int attempt = 0; attempt < 4; ++attempt) {
            const auto res = client.Get("/get_all");
            if (res && res->body.starts_with(module.params_json())) {
                return true;
            }
            std::this_thread::sleep_for(400ms);
        }
        return false;
    }

    std::optional<routing::router> router;
    httplib::Client client{"127.0.0.1", port};
};

TEST(faulty_module, every_fault_fails_fast_and_the_next_requests_work) {
    rig r;
    ASSERT_TRUE(r.wait_connects(1));
    ASSERT_TRUE(r.settings_come_back());

    long slowest = 0;
    int faults = 0;
    for (const auto mode :
         {sim::answer_mode::silent, sim::answer_mode::garbage, sim::answer_mode::late}) {
        SCOPED_TRACE(static_cast<int>(mode));
        r.module.set_mode(mode);
        for (int i = 0; i < 5; ++i) {
            auto [took, res] = r.timed_get("/set/snare/gain/1.5" + std::to_string(i));
            ASSERT_TRUE(res);
            EXPECT_EQ(res->status, 200);
            // A late reply of an earlier request may be taken for this one's: either answer is
            // one the pages can read.
            EXPECT_TRUE(res->body == set_failure ||
                        (mode == sim::answer_mode::late && res->body == set_success))
                << res->body;
            // One query time-out (100 ms) and at most one burst that ran past it.
            EXPECT_LT(took, 3000);
            slowest = std::max(slowest, took);
            ++faults;

            auto [select_took, selected] = r.timed_get("/select/" + std::to_string(i));
            ASSERT_TRUE(selected);
            EXPECT_TRUE(selected->body.ends_with(std::to_string(i) + "\"}"));
            EXPECT_LT(select_took, 3000);
        }
        const auto [took, all] = r.timed_get("/get_all");
        ASSERT_TRUE(all);
        EXPECT_LT(took, 3000);

        r.module.set_mode(sim::answer_mode::normal);
        EXPECT_TRUE(r.settings_come_back());
        auto [set_took, set] = r.timed_get("/set/snare/gain/2.00");
        ASSERT_TRUE(set);
        EXPECT_EQ(set->body, set_success);
    }

    // A module that answers just after the query's time-out, every time.
    r.module.set_reply_delay(150ms);
    for (int i = 0; i < 3; ++i) {
        auto [took, res] = r.timed_get("/get_all");
        ASSERT_TRUE(res);
        EXPECT_LT(took, 3000);
        slowest = std::max(slowest, took);
        ++faults;
    }
    r.module.set_reply_delay(3ms);
    EXPECT_TRUE(r.settings_come_back());

    std::printf("[figure] faulty module: %d faulty exchanges, slowest answer %ld ms\n", faults,
                slowest);
}

}  // namespace
