// The command line both programs take, as one table of arguments and what they ask for. What the
// programs print and their exit statuses: programs_test.sh.
#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using request = app::command_line::request;

struct row {
    std::vector<std::string_view> arguments;
    request what;
    bool headless;
    std::string not_understood;
};

TEST(OptionsTest, ParsesTheTable) {
    const row table[] = {
        {{}, request::run, false, ""},
        {{"--headless"}, request::run, true, ""},
        {{"--help"}, request::help, false, ""},
        {{"-h"}, request::help, false, ""},
        {{"--version"}, request::version, false, ""},
        {{"--headless", "--version"}, request::version, true, ""},
        {{"--version", "--help"}, request::version, false, ""},
        {{"--help", "--version"}, request::help, false, ""},
        {{"--bogus"}, request::usage_error, false, "--bogus"},
        {{"--help", "extra"}, request::usage_error, false, "extra"},
        {{"--headless=yes"}, request::usage_error, false, "--headless=yes"},
        {{""}, request::usage_error, false, ""},
    };
    for (const row& r : table) {
        const app::command_line got = app::parse_command_line(r.arguments);
        EXPECT_EQ(got.what, r.what) << testing::PrintToString(r.arguments);
        EXPECT_EQ(got.options.headless, r.headless) << testing::PrintToString(r.arguments);
        EXPECT_EQ(got.not_understood, r.not_understood) << testing::PrintToString(r.arguments);
    }
}

}  // namespace
