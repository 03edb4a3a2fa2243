// The event stream's queue, fan-out and stream cap, and the request guard against other sites and
// rebound host names, each on a server of its own port (5102, 5106); the select route's number
// limits; a stop right after the start.

#include <gtest/gtest.h>

#include "tests/support/test_server.h"
#include "web/messaging.h"
#include "web/request_guard.h"
#include "web/router.h"
#include "web/serving.h"

namespace {

using namespace std::chrono_literals;

TEST(messaging, bounds_the_queue_by_dropping_the_oldest_noise_readings) {
    httplib::Server server;
    async::messaging events(server, {.queue_capacity = 5});
    events.send(R"({"event" : "disconnect"})");
    for (int i = 0; i < 10; ++i) {
        events.send(R"({"value": ")" + std::to_string(i) + R"("})");
    }
    events.send(R"({"event" : "connect"})");
    events.send(R"({"curve": "[1,2]"})");
    std::vector<std::string> left;
    while (events.queued() > 0) {
        left.push_back(*events.wait_next());
    }
    EXPECT_EQ(left, (std::vector<std::string>{R"({"event" : "disconnect"})", R"({"value": "8"})",
                                              R"({"value": "9"})", R"({"event" : "connect"})",
                                              R"({"curve": "[1,2]"})"}));
    // Texts that must not be lost are kept even past the bound; a reading then gives way.
    for (int i = 0; i < 6; ++i) {
        events.send(R"({"event" : "firmware_upload_begin"})");
    }
    events.send(R"({"value": "1"})");
    EXPECT_EQ(events.queued(), 6u);
}

TEST(messaging, gives_every_open_stream_each_text_keeps_no_live_news_and_caps_the_streams) {
    httplib::Server server;
    async::messaging events(server, {.max_streams = 2});
    test::running_server running(server, 5102);
    const std::string early = R"({"event" : "disconnect"})", hit = R"({"event" : "hit"})",
                      exit = R"({"event" : "exit"})";
    events.send(early);  // no page yet: it waits for the first stream, and for that one alone
    // The drums' live news is for the pages open now: none.
    events.send(hit);
    events.send(R"({"event" : "pedal", "value": 3})");
    test::raw_stream a(5102);
    EXPECT_EQ(a.events(1), std::vector<std::string>{early});
    test::raw_stream b(5102);
    test::eventually([&] { return events.open_streams() == 2; }, 2s);
    test::raw_stream refused(5102);
    EXPECT_TRUE(refused.closed_by_server(3s));
    EXPECT_TRUE(refused.raw().starts_with("HTTP/1.1 503")) << refused.raw();
    events.send(hit);
    events.send(exit);
    events.release_all();
    running.stop();
    EXPECT_EQ(a.events(3, 1s), (std::vector<std::string>{early, hit, exit}));
    EXPECT_EQ(b.events(2, 1s), (std::vector<std::string>{hit, exit}));
}

// A signal during start-up stops the server before its thread has begun to listen.
TEST(serving, a_stop_right_after_the_start_ends_the_serving) {
    for (int i = 0; i < 20; ++i) {
        httplib::Server server;
        ASSERT_GT(server.bind_to_any_port("127.0.0.1"), 0);
        web::serving serving(server);
        serving.stop();
    }
}

TEST(request_guard, refuses_other_sites_and_rebound_host_names_before_any_route_runs) {
    httplib::Server server;
    web::request_guard(5106).install(server);
    std::atomic<int> reached{0};
    server.Get("/get_all", [&](const httplib::Request&, httplib::Response& res) {
        ++reached;
        res.set_content("{}", "application/json");
    });
    test::running_server running(server, 5106);
    const std::pair<std::string, int> cases[] = {
        {"Host: 127.0.0.1:5106\r\n", 200},
        {"Host: localhost:5106\r\nOrigin: http://localhost:5106\r\n", 200},
        {"Host: 127.0.0.1:5106\r\nSec-Fetch-Site: none\r\n", 200},  // typed into the address bar
        {"Host: 127.0.0.1:5106\r\nOrigin: http://127.0.0.1:5999\r\n", 403},
        {"Host: 127.0.0.1:5106\r\nSec-Fetch-Site: same-site\r\n", 403},
        {"Host: attacker.example:5106\r\n", 403},  // DNS rebinding: their name, our address
        {"Host: 127.0.0.1:80\r\n", 403},
        {"", 403},
    };
    for (const auto& [headers, status] : cases) {
        test::raw_connection connection(5106);
        connection.send("GET /get_all HTTP/1.1\r\n" + headers + "Connection: close\r\n\r\n");
        EXPECT_TRUE(connection.read_all(5s).starts_with("HTTP/1.1 " + std::to_string(status)))
            << headers;
    }
    EXPECT_EQ(reached, 3);
}

TEST(select, takes_every_32_bit_instrument_number_and_nothing_past_them) {
    EXPECT_EQ(routing::parse_instrument("2147483647"), 2147483647);
    EXPECT_EQ(routing::parse_instrument("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(routing::parse_instrument("2147483648"), std::nullopt);
    EXPECT_EQ(routing::parse_instrument("-2147483649"), std::nullopt);
}

}  // namespace
