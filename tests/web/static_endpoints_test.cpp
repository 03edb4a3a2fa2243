#include "web/endpoints.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "tests/support/test_server.h"

namespace {

std::string staged(const std::string& path) {
    std::ifstream in(std::string(STAGED_RESOURCES) + "/web_resources" + path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class static_endpoints : public ::testing::Test {
  protected:
    static constexpr int port = 5101;
    static_endpoints() {
        auto fs = cmrc::app_resources::get_filesystem();
        for (const auto& item : fs.iterate_directory("web_resources")) {
            cmrc::directory_entry entry = item;
            http::add_endpoint(fs, server, "web_resources", "web_resources", entry);
        }
    }
    httplib::Server server;
    test::running_server running{server, port};
    httplib::Client client{"127.0.0.1", port};
};

// Every staged file but the index (served at "/") has a route; the type follows the extension.
TEST_F(static_endpoints, every_file_is_served_with_its_bytes_and_type) {
    const std::map<std::string, std::string> types = {
        {"", "text/plain"},    {".json", "application/json"}, {".css", "text/css"},
        {".ttf", "font/ttf"},  {".png", "image/png"},         {".js", "text/javascript"},
        {".html", "text/html"}};
    const std::filesystem::path root = std::string(STAGED_RESOURCES) + "/web_resources";
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string url = "/" + entry.path().lexically_relative(root).generic_string();
        if (!entry.is_regular_file() || url == "/index.html") {
            continue;
        }
        ++files;
        auto res = client.Get(url.c_str());
        ASSERT_TRUE(res) << url;
        EXPECT_EQ(res->status, 200) << url;
        EXPECT_EQ(res->get_header_value("Content-Type"), types.at(entry.path().extension())) << url;
        EXPECT_EQ(res->body, staged(url)) << url;
        EXPECT_FALSE(res->body.empty()) << url;
    }
    EXPECT_EQ(files, 21);
    auto root_page = client.Get("/");
    ASSERT_TRUE(root_page);
    EXPECT_EQ(root_page->get_header_value("Content-Type"), "text/html");
    EXPECT_EQ(root_page->body, staged("/index.html"));
}

TEST_F(static_endpoints, index_html_has_no_route_of_its_own_and_queries_are_ignored) {
    auto index = client.Get("/index.html");
    ASSERT_TRUE(index);
    EXPECT_EQ(index->status, 404);
    EXPECT_EQ(client.Get("/assets")->status, 404);

    auto script = client.Get("/assets/js/script.js?v=2");
    ASSERT_TRUE(script);
    EXPECT_EQ(script->status, 200);
    EXPECT_EQ(script->body, staged("/assets/js/script.js"));
}

TEST_F(static_endpoints, the_library_answers_head_and_ranges) {
    auto head = client.Head("/config.json");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(head->body.empty());
    EXPECT_EQ(head->get_header_value("Content-Length"),
              std::to_string(staged("/config.json").size()));

    auto part = client.Get("/config.json", {{"Range", "bytes=0-3"}});
    ASSERT_TRUE(part);
    EXPECT_EQ(part->status, 206);
    EXPECT_EQ(part->body, staged("/config.json").substr(0, 4));
}

}  // namespace
