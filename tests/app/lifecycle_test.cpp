// The real program started without a display: it serves the pages on port 5000 with no module,
// ends on SIGINT, and never shares that port with another program (the demo's: the stress run).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

#include "tests/support/child_process.h"
#include "tests/support/test_server.h"

namespace {

using namespace std::chrono_literals;
const std::string serving = "serving the Korvaline pages at http://127.0.0.1:5000/";

TEST(lifecycle, serves_headless_without_a_module_and_ends_on_sigint) {
    test::child_process first(KORVALINE_BIN);
    ASSERT_TRUE(first.wait_for_output(serving, 60s)) << first.output();
    httplib::Client client("127.0.0.1", 5000);
    const auto root = client.Get("/");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->get_header_value("Content-Type"), "text/html");
    EXPECT_EQ(client.Get("/assets/img/icon.png")->get_header_value("Content-Type"), "image/png");
    EXPECT_EQ(client.Get("/assets/fonts/SourceSansPro.ttf")->get_header_value("Content-Type"),
              "font/ttf");
    test::raw_stream stream(5000);
    EXPECT_EQ(stream.events(1), std::vector<std::string>{R"({"event" : "disconnect"})"});

    first.signal(SIGINT);
    EXPECT_EQ(first.wait_exit(30s), 0);
    EXPECT_EQ(stream.events(2, 1s).back(), R"({"event" : "exit"})");
}

TEST(lifecycle, a_port_taken_by_another_program_is_reported_and_never_shared) {
    // The other program sets SO_REUSEPORT, as the HTTP library does by default: the kernel would
    // let us share the port silently if we asked for the same.
    httplib::Server squatter;
    squatter.set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);  // past earlier TIME_WAIT
    });
    squatter.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("not ours", "text/plain");
    });
    ASSERT_TRUE(squatter.bind_to_port("127.0.0.1", 5000));
    std::thread serve([&] { squatter.listen_after_bind(); });
    test::child_process child(KORVALINE_BIN);
    EXPECT_NE(child.wait_exit(60s).value_or(0), 0);
    EXPECT_THAT(child.output(),
                testing::HasSubstr("Cannot listen on 127.0.0.1:5000: the address is in use by "
                                   "another program (is Korvaline already running?)."));
    httplib::Client client("127.0.0.1", 5000);
    for (int i = 0; i < 5; ++i) {
        const auto res = client.Get("/");
        EXPECT_TRUE(res && res->body == "not ours");
    }
    squatter.stop();
    serve.join();
}

}  // namespace
