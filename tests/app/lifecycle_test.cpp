#include <gtest/gtest.h>

#include <csignal>

#include "tests/support/child_process.h"
#include "tests/support/test_server.h"

namespace {

using namespace std::chrono_literals;

constexpr int port = 5000;

// Started without a display, as on a server or in CI: the program serves until SIGINT/SIGTERM.
test::child_process start(const char* program) {
    return test::child_process(program, {}, {"DISPLAY", "WAYLAND_DISPLAY"});
}

bool wait_serving(test::child_process& child) {
    return child.wait_for_output("serving the Korvaline pages at http://127.0.0.1:5000/", 60s);
}

TEST(lifecycle, headless_program_serves_the_main_page_and_starts_disconnected) {
    auto child = start(KORVALINE_BIN);
    ASSERT_TRUE(wait_serving(child)) << child.output();

    httplib::Client client("127.0.0.1", port);
    auto root = client.Get("/");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->status, 200);
    EXPECT_EQ(root->get_header_value("Content-Type"), "text/html");
    EXPECT_NE(root->body.find("<html"), std::string::npos);

    test::raw_stream stream(port);
    auto events = stream.events(1);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), R"({"event" : "disconnect"})");

    child.signal(SIGINT);
    EXPECT_EQ(child.wait_exit(30s), 0);
}

TEST(lifecycle, module_attached_at_start_gives_one_connect_after_the_disconnect) {
    auto child = start(KORVALINE_DEMO_BIN);
    ASSERT_TRUE(wait_serving(child)) << child.output();
    test::raw_stream stream(port);
    auto events = stream.events(2, 20s);
    ASSERT_EQ(events.size(), 2u) << child.output();
    EXPECT_EQ(events[0], R"({"event" : "disconnect"})");
    EXPECT_EQ(events[1], R"({"event" : "connect"})");
    // Nothing more: exactly one connect.
    EXPECT_EQ(stream.events(3, 1500ms).size(), 2u);
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait_exit(30s), 0);
}

TEST(lifecycle, sigterm_delivers_the_exit_event_and_shuts_down_promptly) {
    auto child = start(KORVALINE_BIN);
    ASSERT_TRUE(wait_serving(child)) << child.output();
    test::raw_stream first(port);
    ASSERT_EQ(first.events(1).size(), 1u);
    // More open streams and an idle keep-alive connection must not hold the shutdown.
    test::raw_stream second(port), third(port);
    httplib::Client idle("127.0.0.1", port);
    idle.set_keep_alive(true);
    ASSERT_TRUE(idle.Get("/config.json"));
    std::this_thread::sleep_for(200ms);

    auto start_time = std::chrono::steady_clock::now();
    child.signal(SIGTERM);
    auto status = child.wait_exit(30s);
    auto took = std::chrono::steady_clock::now() - start_time;
    EXPECT_EQ(status, 0);
    // A loose bound against hangs (the keep-alive default alone would take 5 s); the benchmark
    // measures the real figure.
    EXPECT_LT(took, 4500ms);

    std::vector<std::string> all = first.events(2, 500ms);
    for (auto* s : {&second, &third}) {
        auto more = s->events(1, 200ms);
        all.insert(all.end(), more.begin(), more.end());
    }
    EXPECT_EQ(std::count(all.begin(), all.end(), R"({"event" : "exit"})"), 1) << child.output();
    EXPECT_TRUE(first.closed_by_server(1s));
}

TEST(lifecycle, a_taken_port_is_reported_and_never_shared) {
    // Another program holds the port, with SO_REUSEPORT as the HTTP library sets it by default:
    // the kernel would let us share it silently if we asked for the same.
    httplib::Server squatter;
    squatter.set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes,
                   sizeof yes);  // past earlier tests' TIME_WAIT
    });
    squatter.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("not ours", "text/plain");
    });
    test::running_server running(squatter, port, /*reuse_address=*/false);

    auto child = start(KORVALINE_BIN);
    auto status = child.wait_exit(60s);
    EXPECT_TRUE(status.has_value());
    EXPECT_NE(status.value_or(0), 0);
    EXPECT_NE(child.output().find("Cannot listen on 127.0.0.1:5000"), std::string::npos)
        << child.output();
    // The squatter still answers every request: nothing was shared.
    httplib::Client client("127.0.0.1", port);
    for (int i = 0; i < 5; ++i) {
        auto res = client.Get("/");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->body, "not ours");
    }
}

TEST(lifecycle, a_second_start_tells_the_user_and_leaves_the_first_running) {
    auto first = start(KORVALINE_DEMO_BIN);
    ASSERT_TRUE(wait_serving(first)) << first.output();
    auto second = start(KORVALINE_BIN);
    auto status = second.wait_exit(60s);
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
    EXPECT_NE(second.output().find("is Korvaline already running?"), std::string::npos)
        << second.output();

    httplib::Client client("127.0.0.1", port);
    auto res = client.Get("/get_all");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait_exit(30s), 0);
}

}  // namespace
