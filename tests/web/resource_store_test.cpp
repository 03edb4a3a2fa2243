#include <gtest/gtest.h>

#include <cmrc/cmrc.hpp>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace {

std::vector<std::string> names(const cmrc::embedded_filesystem& fs, const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& entry : fs.iterate_directory(dir)) {
        out.push_back(entry.filename());
    }
    return out;
}

std::string staged(const std::string& path) {
    std::ifstream in(std::string(STAGED_RESOURCES) + "/" + path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(resource_store, holds_the_tree_in_byte_order_of_names) {
    auto fs = cmrc::app_resources::get_filesystem();
    EXPECT_EQ(names(fs, ""), std::vector<std::string>{"web_resources"});
    EXPECT_EQ(names(fs, "web_resources"),
              (std::vector<std::string>{".git", ".vscode", "assets", "config.json", "data",
                                        "data.json", "gauge.html", "index.html", "settings.html"}));
    EXPECT_EQ(names(fs, "web_resources/assets"),
              (std::vector<std::string>{"css", "fonts", "img", "js"}));
    EXPECT_EQ(
        names(fs, "web_resources/assets/js"),
        (std::vector<std::string>{"backup.js", "bezier-curves.js", "events.js", "firmeware.js",
                                  "konva.min.js", "module-state.js", "range-slider.js", "script.js",
                                  "time-bar-chart.js", "utils.js"}));
    EXPECT_TRUE(fs.is_directory("web_resources/data"));
    for (const auto& entry : fs.iterate_directory("web_resources")) {
        EXPECT_EQ(entry.is_directory(), entry.filename() == ".vscode" ||
                                            entry.filename() == "assets" ||
                                            entry.filename() == "data")
            << entry.filename();
        EXPECT_NE(entry.is_file(), entry.is_directory());
    }
}

TEST(resource_store, serves_the_exact_bytes_without_copying) {
    auto fs = cmrc::app_resources::get_filesystem();
    auto settings = fs.open("web_resources/.vscode/settings.json");
    EXPECT_EQ(std::string(settings.begin(), settings.end()), "{\r\n}");
    auto git = fs.open("web_resources/.git");
    EXPECT_EQ(std::string(git.begin(), git.end()), "gitdir: ../.git/modules/web_resources\n");
    for (const char* path :
         {"web_resources/index.html", "web_resources/assets/js/konva.min.js",
          "web_resources/assets/fonts/SourceSansPro.ttf", "web_resources/assets/img/icon.png"}) {
        auto file = fs.open(path);
        EXPECT_EQ(std::string(file.begin(), file.end()), staged(path)) << path;
        // Two opens hand out the same bytes: pointers into the executable, not copies.
        EXPECT_EQ(fs.open(path).begin(), file.begin());
    }
}

TEST(resource_store, normalises_slashes_but_not_case) {
    auto fs = cmrc::app_resources::get_filesystem();
    const char* expected = fs.open("web_resources/index.html").begin();
    for (const char* path : {"/web_resources/index.html", "web_resources/index.html/",
                             "web_resources//index.html", "//web_resources///index.html//"}) {
        EXPECT_EQ(fs.open(path).begin(), expected) << path;
    }
    EXPECT_FALSE(fs.exists("Web_resources/index.html"));
    EXPECT_FALSE(fs.exists("web_resources/INDEX.html"));
}

TEST(resource_store, reports_missing_paths_and_wrong_kinds) {
    auto fs = cmrc::app_resources::get_filesystem();
    auto code_of = [](auto&& call) {
        try {
            call();
        } catch (const std::system_error& e) {
            return e.code();
        }
        return std::error_code();
    };
    EXPECT_EQ(code_of([&] { fs.open("web_resources/assets"); }),
              std::errc::no_such_file_or_directory);
    EXPECT_EQ(code_of([&] { fs.open("web_resources/nothing.html"); }),
              std::errc::no_such_file_or_directory);
    EXPECT_EQ(code_of([&] { fs.iterate_directory("web_resources/index.html"); }),
              std::errc::not_a_directory);
    EXPECT_EQ(code_of([&] { fs.iterate_directory("web_resources/nothing"); }),
              std::errc::no_such_file_or_directory);
}

}  // namespace
