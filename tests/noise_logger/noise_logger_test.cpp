#include "maintenance/noise_logger.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/rig.h"
#include "web/messaging.h"
#include "web/router.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
constexpr int port = 5320;

class noise_logger_test : public ::testing::Test {
  protected:
    void start(sim::module_options options = {.reply_delay = 1ms},
               maintenance::noise_logger_timing timing = {}) {
        rig = std::make_unique<test::rig>(port, options);
        async::messaging::limits limits;
        limits.liveness_period = 10ms;
        events.emplace(rig->server, limits);
        router.emplace(rig->server, rig->device);
        logger.emplace(rig->server, rig->device, *events, timing);
        logger->register_routes(rig->server);
        rig->serve();
        if (options.plugged) {
            ASSERT_TRUE(rig->wait_connects(1));
        }
    }
    void TearDown() override {
        if (rig) {
            rig->stop_server();
        }
        logger.reset();
    }

    // The next published text, or nothing within the time-out.
    std::optional<std::string> next_event(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = steady::now() + timeout;
        return events->wait_next([deadline] { return steady::now() < deadline; });
    }
    // The next event that starts with the given prefix, skipping others.
    std::optional<std::string> next_event_like(const std::string& prefix) {
        // Generous: on a loaded machine many level queries miss their 10 ms and skip the curve.
        const auto deadline = steady::now() + 20s;
        while (steady::now() < deadline) {
            auto text = next_event(1s);
            if (text && text->starts_with(prefix)) {
                return text;
            }
        }
        return std::nullopt;
    }
    void drain() {
        while (next_event(50ms)) {
        }
    }

    std::unique_ptr<test::rig> rig;
    std::optional<async::messaging> events;
    std::optional<routing::router> router;
    std::optional<maintenance::noise_logger> logger;
};

TEST_F(noise_logger_test, publishes_readings_without_their_line_ends) {
    // Long time-outs: on a loaded machine a reply that misses its 10 ms stays in the port and
    // leads the next one ("123\r\n123\r\n"), which is the exchange's rule, not the logger's.
    maintenance::noise_logger_timing timing;
    timing.level_timeout = 1s;
    timing.curve_timeout = 1s;
    start({.reply_delay = 1ms}, timing);
    rig->module.script("#", "123\r\n");
    rig->module.script("@", "[1,2]\n");  // six bytes with the line feed
    auto client = rig->client();
    const auto started = client.Get("/start_noise_logger");
    ASSERT_TRUE(started);
    EXPECT_EQ(started->status, 200);
    EXPECT_EQ(started->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(started->body, "{}");

    EXPECT_EQ(next_event_like(R"({"value")"), R"({"value": "123"})");
    EXPECT_EQ(next_event_like(R"({"curve")"), R"({"curve": "[1,2]"})");

    // A carriage return inside the reading goes as well; a four-byte curve is not published.
    rig->module.script("#", "1\r2\n");
    rig->module.script("@", "[1]\n");
    EXPECT_EQ(next_event_like(R"({"value": "12")"), R"({"value": "12"})");
    // A late reply that leads the next one is not glued to it.
    rig->module.script("#", "7\r\n45\r\n");
    EXPECT_EQ(next_event_like(R"({"value": "45")"), R"({"value": "45"})");
    drain();
    const auto stopped = client.Get("/stop_noise_logger");
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->body, "{}");
    std::vector<std::string> rest;
    while (auto text = next_event(100ms)) {
        rest.push_back(*text);
    }
    for (const auto& text : rest) {
        EXPECT_TRUE(text == R"({"value": "12"})" || text == R"({"value": "45"})")
            << "no four-byte curve is published: " << text;
    }
}

TEST_F(noise_logger_test, stop_then_start_begins_with_a_level_query_and_stop_is_final) {
    start();
    auto client = rig->client();
    // Stops without a worker change nothing.
    EXPECT_EQ(client.Get("/stop_noise_logger")->body, "{}");
    EXPECT_EQ(client.Get("/stop_noise_logger")->body, "{}");

    rig->module.clear_commands();
    ASSERT_EQ(client.Get("/start_noise_logger")->body, "{}");
    ASSERT_TRUE(rig->module.wait_for_commands(1, 5s));
    EXPECT_EQ(rig->module.commands().front(), "#");
    ASSERT_TRUE(next_event_like(R"({"curve")"));

    ASSERT_EQ(client.Get("/stop_noise_logger")->body, "{}");
    const std::size_t queued = events->queued();
    const std::size_t sent = rig->module.commands().size();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(events->queued(), queued) << "nothing is published after the stop answered";
    EXPECT_EQ(rig->module.commands().size(), sent);
    EXPECT_FALSE(logger->running());
}

TEST_F(noise_logger_test, a_second_start_replaces_the_worker) {
    start();
    auto client = rig->client();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(client.Get("/start_noise_logger")->body, "{}");
    }
    rig->module.clear_commands();
    ASSERT_TRUE(rig->module.wait_for_commands(8, 10s));
    logger->stop();
    // One worker asks for a curve only right after a level (a level without an answer is asked
    // again at once); a second worker would put two curve queries in a row.
    const auto commands = rig->module.commands();
    for (std::size_t i = 1; i < commands.size(); ++i) {
        if (commands[i] == "@") {
            EXPECT_EQ(commands[i - 1], "#") << "at " << i;
        }
    }
}

TEST_F(noise_logger_test, without_a_module_it_idles_and_stops_promptly) {
    start({.plugged = false});
    logger->start();
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto began = steady::now();
    std::this_thread::sleep_for(2s);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const auto wall = std::chrono::duration<double>(steady::now() - began).count();
    const auto cpu = [](const rusage& r) {
        return r.ru_utime.tv_sec + r.ru_stime.tv_sec +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    // Spinning would use a whole core; the idle pause keeps it far below. Loose for sanitizers.
    const double share = (cpu(after) - cpu(before)) / wall;
    RecordProperty("idle_cpu_share_percent", std::to_string(share * 100));
    EXPECT_LT(share, 0.15);
    EXPECT_EQ(events->queued(), 0u);
    const auto stopping = steady::now();
    logger->stop();
    EXPECT_LT(steady::now() - stopping, 1s);
}

TEST_F(noise_logger_test, settings_requests_are_answered_while_it_runs) {
    start();
    auto client = rig->client();
    ASSERT_EQ(client.Get("/start_noise_logger")->body, "{}");
    ASSERT_TRUE(next_event_like(R"({"value")"));
    testing::internal::CaptureStdout();
    for (int i = 0; i < 5; ++i) {
        const auto began = steady::now();
        const auto result = client.Get("/set/kick/threshold/" + std::to_string(20 + i));
        ASSERT_TRUE(result);
        EXPECT_EQ(result->body, R"({"type": "message", "message": "success"})");
        EXPECT_LT(steady::now() - began, 3s);
    }
    const auto all = client.Get("/get_all");
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(all);
    EXPECT_EQ(all->body, rig->module.params_json() + "\r\n");
    EXPECT_NE(all->body.find("\"threshold\": 24"), std::string::npos);
}

}  // namespace
