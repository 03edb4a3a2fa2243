// The settings routes and the noise logger over the real device link to the simulated module, on
// port 5310: a faulty module fails each request fast, and the logger has one worker.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "maintenance/noise_logger.h"
#include "tests/support/module_rig.h"
#include "web/messaging.h"
#include "web/router.h"

namespace {

using namespace std::chrono_literals;

using steady = std::chrono::steady_clock;

// The program's link to the module, with the settings routes and the noise logger served.
struct rig : test::module_rig {
    rig() : module_rig(5310) {
        logger.register_routes(server);
        serve();
        client.set_keep_alive(true);
    }
    ~rig() { running.reset(); }  // before the routes go
    std::string get(const std::string& path) {
        const auto start = steady::now();
        const auto res = browser.send([&] { return client.Get(path); });
        took = std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start).count();
        return res && res->status == 200 ? res->body : "no answer";
    }
    // Whether the module's whole settings come back: the stale bytes of a late reply are dropped,
    // not carried from answer to answer.
    bool settings_come_back() {
        return test::eventually(
            [this] { return get("/get_all").starts_with(module.params_json()); }, 20s);
    }

    test::browser_resend browser;
    long took = 0;  // the last get's milliseconds
    async::messaging events{server, {.liveness_period = 10ms}};
    std::atomic<int> changed{0};  // the settings changes the router reported
    routing::router router{server, device, {[this] { ++changed; }}};
    // Long time-outs: on a loaded machine a reply that misses its 10 ms stays in the port and leads
    // the next one, which is the exchange's rule, not the logger's.
    maintenance::noise_logger logger{
        server, device, events, {.level_timeout = 1s, .curve_timeout = 1s}};
};

TEST(routes, a_faulty_module_fails_each_request_fast_and_the_next_ones_work) {
    rig r;
    ASSERT_TRUE(r.settings_come_back());
    const std::string failure = R"({"type": "error", "error": "Cannot set parameter value"})";
    const std::string success = R"({"type": "message", "message": "success"})";
    long slowest = 0;
    int faults = 0;
    for (const auto mode :
         {sim::answer_mode::silent, sim::answer_mode::garbage, sim::answer_mode::late}) {
        r.module.set_mode(mode);
        for (int i = 0; i < 3; ++i, ++faults) {
            const std::string body = r.get("/set/snare/gain/1.5" + std::to_string(i));
            // A late reply of an earlier request may be taken for this one's.
            EXPECT_TRUE(body == failure || (mode == sim::answer_mode::late && body == success))
                << body;
            // The module got the command, and may well have taken it: unsaved, to be safe.
            EXPECT_GE(r.changed.exchange(0), 1);
            EXPECT_LT(r.took, 3000) << "one query time-out, not the port's long read limit";
            slowest = std::max(slowest, r.took);
            EXPECT_TRUE(r.get("/select/" + std::to_string(i)).ends_with(std::to_string(i) + "\"}"));
            EXPECT_LT(r.took, 3000);
        }
        r.module.set_mode(sim::answer_mode::normal);
        EXPECT_TRUE(r.settings_come_back());
        // A reply that misses the query's 100 ms, as one can while a loaded machine keeps the
        // module's thread waiting, is a failure by the route's rule: wait for the first success.
        EXPECT_TRUE(
            test::eventually([&] { return r.get("/set/snare/gain/2.00") == success; }, 20s));
    }
    r.module.unplug();
    EXPECT_EQ(r.get("/get_all"), "{}");
    std::printf("[figure] faulty module: %d faulty exchanges, slowest answer %ld ms\n", faults,
                slowest);
}

// Every reply 250 ms late, with the noise logger's readings crossing the editor's requests (its
// 10 ms queries give up and their readings arrive later): the settings come back whole at the
// first read, a set succeeds only on its own answer, and the link knows how slow the module is.
TEST(routes, a_slow_module_answers_every_route_right_while_readings_cross) {
    rig r;
    ASSERT_TRUE(r.settings_come_back());
    const std::string failure = R"({"type": "error", "error": "Cannot set parameter value"})";
    const std::string success = R"({"type": "message", "message": "success"})";
    r.module.set_reply_delay(250ms);
    r.module.script("/set kick note 37", "");  // never answered
    std::jthread readings([&r](std::stop_token stop) {
        while (!stop.stop_requested()) {
            r.device.query("#", 10ms, 1ms);
        }
    });
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(r.get("/get_all").starts_with(r.module.params_json())) << i;
        EXPECT_EQ(r.get("/set/snare/threshold/" + std::to_string(30 + i)), success) << i;
        EXPECT_EQ(r.get("/set/kick/note/37"), failure) << i;
    }
    ASSERT_TRUE(r.device.slow());
    EXPECT_GE(*r.device.slow(), 150ms);
    EXPECT_LE(*r.device.slow(), 1000ms);
}

TEST(routes, commands_written_back_to_back_reach_the_module_apart) {
    rig r;
    r.module.clear_commands();
    r.device.write("/set kick threshold 42");  // a set command has no terminator
    r.device.write("$1");
    test::eventually([&] { return r.module.commands().size() >= 2; }, 3s);
    EXPECT_EQ(r.module.commands(), (std::vector<std::string>{"/set kick threshold 42", "$1"}));
}

TEST(routes, the_noise_logger_publishes_readings_without_line_ends_from_one_worker) {
    rig r;
    r.module.script("#", "1\r2\n");
    r.module.script("@", "[1,2]\n");
    for (int i = 0; i < 3; ++i) {  // a second start replaces the worker
        ASSERT_EQ(r.get("/start_noise_logger"), "{}");
    }
    std::set<std::string> seen;
    for (const auto end = steady::now() + 20s; seen.size() < 2 && steady::now() < end;) {
        if (auto text = r.events.wait_next([end] { return steady::now() < end; })) {
            seen.insert(*text);
        }
    }
    EXPECT_EQ(seen, (std::set<std::string>{R"({"value": "12"})", R"({"curve": "[1,2]"})"}));
    ASSERT_EQ(r.get("/stop_noise_logger"), "{}");
    const auto commands = r.module.commands();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(r.module.commands(), commands) << "nothing is asked after the stop answered";
    // One worker asks for a curve only right after a level; two would put curve queries in a row.
    for (std::size_t i = 1; i < commands.size(); ++i) {
        EXPECT_TRUE(commands[i] != "@" || commands[i - 1] == "#") << "at " << i;
    }
}

// Whether every other thread of this process is asleep: a thread that spins is never.
bool others_asleep() {
    const std::string own = std::to_string(::gettid());
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto state = line.rfind(") ");
        if (task.path().filename() != own && state != std::string::npos && line[state + 2] != 'S') {
            return false;
        }
    }
    return true;
}

TEST(routes, the_noise_logger_rests_while_no_module_is_open) {
    sim::module module({.plugged = false});
    sim::bus bus{module};
    usb::device device{bus, 0x0483, 0x5740};
    httplib::Server server;
    async::messaging events{server};
    maintenance::noise_logger logger{
        server, device, events, {.level_timeout = 1h, .idle_pause = 1h}};
    logger.start();
    EXPECT_TRUE(test::eventually(others_asleep)) << "the logger spins";
}

}  // namespace
