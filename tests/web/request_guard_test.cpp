#include "web/request_guard.h"

#include <gtest/gtest.h>

#include "tests/support/test_server.h"

namespace {

// The guard on a server of its own port: Host and Origin must name that port.
class request_guard : public ::testing::Test {
  protected:
    static constexpr int port = 5106;
    request_guard() {
        web::request_guard(port).install(server);
        server.Get("/get_all", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("{}", "application/json");
        });
        server.Post("/curve", [this](const httplib::Request&, httplib::Response& res) {
            ++posts_reached;
            res.set_content("{}", "application/json");
        });
    }
    int status(const httplib::Headers& headers, bool post = false) {
        httplib::Client client("127.0.0.1", port);
        auto res =
            post ? client.Post("/curve", headers, "file=x", "application/x-www-form-urlencoded")
                 : client.Get("/get_all", headers);
        return res ? res->status : -1;
    }
    std::atomic<int> posts_reached{0};
    httplib::Server server;
    test::running_server running{server, port};
};

TEST_F(request_guard, lets_the_programs_own_pages_through) {
    const std::string own = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(status({}), 200);  // the client sends Host 127.0.0.1:port itself
    EXPECT_EQ(status({{"Origin", "http://" + own}, {"Sec-Fetch-Site", "same-origin"}}, true), 200);
    EXPECT_EQ(status({{"Origin", "http://localhost:" + std::to_string(port)}}, true), 200);
    EXPECT_EQ(status({{"Sec-Fetch-Site", "none"}}), 200);  // typed into the address bar
    EXPECT_EQ(posts_reached, 2);
}

TEST_F(request_guard, refuses_other_sites_before_any_route_runs) {
    EXPECT_EQ(status({{"Origin", "http://evil.example"}}, true), 403);
    EXPECT_EQ(status({{"Origin", "null"}}, true), 403);
    EXPECT_EQ(status({{"Origin", "http://127.0.0.1:5999"}}, true), 403);
    EXPECT_EQ(status({{"Sec-Fetch-Site", "cross-site"}}, true), 403);
    EXPECT_EQ(status({{"Sec-Fetch-Site", "same-site"}}), 403);
    EXPECT_EQ(posts_reached, 0);

    httplib::Client client("127.0.0.1", port);
    auto res = client.Get("/get_all", {{"Origin", "http://evil.example"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(res->body, R"({"type": "error", "error": "Cross-origin request refused."})");
}

TEST_F(request_guard, refuses_rebound_host_names) {
    // DNS rebinding: the browser talks to 127.0.0.1 but names the attacker's host.
    auto send_host = [](const std::string& host) {
        test::raw_connection connection(port);
        connection.send("GET /get_all HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
        const std::string reply = connection.read_all(std::chrono::seconds(5));
        return reply.substr(0, reply.find("\r\n"));
    };
    EXPECT_EQ(send_host("Host: attacker.example:" + std::to_string(port) + "\r\n"),
              "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(send_host("Host: 127.0.0.1:80\r\n"), "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(send_host(""), "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(send_host("Host: localhost:" + std::to_string(port) + "\r\n"), "HTTP/1.1 200 OK");
}

}  // namespace
