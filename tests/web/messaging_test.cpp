#include "web/messaging.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "tests/support/test_server.h"

namespace {

using namespace std::chrono_literals;

// Waits, boundedly, until `count` streams are open.
bool wait_streams(async::messaging& events, std::size_t count) {
    for (int i = 0; i < 200 && events.open_streams() != count; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    return events.open_streams() == count;
}

TEST(messaging, delivers_early_texts_to_the_first_stream_in_order_with_exact_framing) {
    httplib::Server server;
    async::messaging events(server);
    events.send(R"({"event" : "disconnect"})");
    events.send(R"({"event" : "connect"})");
    events.send("");
    test::running_server running(server, 5102);

    test::raw_stream stream(5102);
    auto texts = stream.events(3);
    EXPECT_EQ(texts, (std::vector<std::string>{R"({"event" : "disconnect"})",
                                               R"({"event" : "connect"})", ""}));
    const std::string& raw = stream.raw();
    EXPECT_NE(raw.find("Content-Type: text/event-stream"), std::string::npos);
    EXPECT_NE(raw.find("Transfer-Encoding: chunked"), std::string::npos);

    // The exit frame goes out as one chunk of exactly 26 bytes: "1a" in hex.
    events.send(R"({"event" : "exit"})");
    stream.events(4);
    EXPECT_NE(stream.raw().find("1a\r\ndata: {\"event\" : \"exit\"}\n\n\r\n"), std::string::npos);
    events.release_all();
}

TEST(messaging, gives_each_text_to_exactly_one_stream) {
    httplib::Server server;
    async::messaging events(server);
    test::running_server running(server, 5103);
    test::raw_stream a(5103), b(5103);
    ASSERT_TRUE(wait_streams(events, 2)) << "both streams wait before the texts go out";
    std::vector<std::string> sent;
    for (int i = 0; i < 40; ++i) {
        sent.push_back(R"({"value": ")" + std::to_string(i) + R"("})");
        events.send(sent.back());
    }
    std::vector<std::string> got;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (got.size() < sent.size() && std::chrono::steady_clock::now() < deadline) {
        auto ta = a.events(0, 20ms);
        auto tb = b.events(0, 20ms);
        got = ta;
        got.insert(got.end(), tb.begin(), tb.end());
    }
    std::sort(got.begin(), got.end());
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(got, sent);
    events.release_all();
}

TEST(messaging, a_stream_whose_page_has_gone_takes_no_text) {
    httplib::Server server;
    async::messaging::limits limits;
    limits.liveness_period = 50ms;
    async::messaging events(server, limits);
    test::running_server running(server, 5104);
    test::raw_stream survivor(5104);
    {
        test::raw_stream gone(5104);
        ASSERT_TRUE(wait_streams(events, 2));
    }
    events.send("one");
    events.send("two");
    events.send("three");
    EXPECT_EQ(survivor.events(3), (std::vector<std::string>{"one", "two", "three"}));
    // The dead stream has ended and given its worker back.
    EXPECT_TRUE(wait_streams(events, 1));
    events.release_all();
}

TEST(messaging, bounds_the_queue_by_dropping_the_oldest_noise_readings) {
    httplib::Server server;
    async::messaging::limits limits;
    limits.queue_capacity = 5;
    async::messaging events(server, limits);
    events.send(R"({"event" : "disconnect"})");
    for (int i = 0; i < 10; ++i) {
        events.send(R"({"value": ")" + std::to_string(i) + R"("})");
    }
    events.send(R"({"event" : "connect"})");
    events.send(R"({"curve": "[1,2]"})");
    EXPECT_EQ(events.queued(), 5u);
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

TEST(messaging, refuses_streams_over_the_cap_and_releases_all_at_shutdown) {
    httplib::Server server;
    async::messaging::limits limits;
    limits.max_streams = 2;
    async::messaging events(server, limits);
    test::running_server running(server, 5105);
    test::raw_stream a(5105), b(5105);
    ASSERT_TRUE(wait_streams(events, 2));
    httplib::Client client("127.0.0.1", 5105);
    auto refused = client.Get("/event");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 503);

    events.send(R"({"event" : "exit"})");
    auto start = std::chrono::steady_clock::now();
    events.release_all();
    running.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    auto got_a = a.events(1, 200ms), got_b = b.events(1, 200ms);
    EXPECT_EQ(got_a.size() + got_b.size(), 1u);
}

}  // namespace
