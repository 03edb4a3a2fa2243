// --port on the command line: both spellings, a missing name, and the demo that takes none. The
// other options' answers are pinned by the command-line test of both programs.
#include "app/options.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using request = app::command_line::request;

app::command_line parse(std::vector<std::string_view> arguments, bool takes_port = true) {
    return app::parse_command_line(arguments, takes_port);
}

TEST(Options, PortTakesTheNextWordOrWhatFollowsTheEqualsSign) {
    EXPECT_EQ(parse({"--port", "COM5", "--headless"}).options.port, "COM5");
    const auto joined = parse({"--headless", "--port=/dev/ttyACM0"});
    EXPECT_EQ(joined.options.port, "/dev/ttyACM0");
    EXPECT_TRUE(joined.options.headless);
    EXPECT_FALSE(parse({"--headless"}).options.port);
}

TEST(Options, APortWithoutANameIsAUsageMistake) {
    for (const auto& arguments : std::vector<std::vector<std::string_view>>{
             {"--port"}, {"--port="}, {"--port", "--headless"}, {"--port", ""}}) {
        const auto command = parse(arguments);
        EXPECT_EQ(command.what, request::usage_error);
        EXPECT_EQ(command.mistake,
                  "--port needs the name of a serial port, such as COM5 or /dev/ttyACM0");
    }
    EXPECT_EQ(parse({"--portable"}).mistake, "unrecognised argument '--portable'");
}

TEST(Options, AProgramWithoutPortsNeitherTakesNorOffersThem) {
    const auto command = parse({"--port", "COM5"}, false);
    EXPECT_EQ(command.what, request::usage_error);
    EXPECT_EQ(command.mistake, "unrecognised argument '--port'");
    for (const bool takes_port : {false, true}) {
        std::ostringstream out, err;
        app::answer(parse({"--help"}), {"korvaline", "Summary.", takes_port}, out, err);
        EXPECT_EQ(out.str().find("--port NAME") != std::string::npos, takes_port) << out.str();
    }
}

}  // namespace
