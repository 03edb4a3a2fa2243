// The Windows program under Wine, end to end: korvaline.exe --headless --port COM5, where the
// prefix's COM5 is a link to the simulated module's pty (the module runs in this Linux process).
// One run of the program serves the whole suite, in the order a drummer would meet things: the
// editor's routes, the noise logger, a kit and a safety copy on disk, an unplug and a replug, and
// a request to close at the end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>

#include "sim/module.h"
#include "tests/support/child_process.h"
#include "tests/support/test_server.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;

const std::string serving = "serving the Korvaline pages at http://127.0.0.1:5000/";

// Given by the Windows tree's CTest: the prefix, the program and the script that runs it there.
std::string from_environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

fs::path prefix() {
    return from_environment("KORVALINE_WINEPREFIX");
}

// Where Wine keeps the Windows user's local application data: the Unix user's name.
fs::path local_app_data() {
    const passwd* user = ::getpwuid(::getuid());
    return prefix() / "drive_c/users" / (user != nullptr ? user->pw_name : "root") /
           "AppData/Local/Korvaline";
}

// Points COM5 at the module's pty while it is plugged; without the link the port is absent, as a
// USB serial port is on Windows once its device has gone.
void link_port(const sim::module& module) {
    const fs::path link = prefix() / "dosdevices/com5";
    std::error_code ignored;
    fs::remove(link, ignored);
    if (const auto where = module.attached()) {
        fs::create_symlink(where->tty, link);
    }
}

// The stream's texts once `enough` holds for them, or all that came within the limit.
std::vector<std::string> until(test::raw_stream& stream,
                               const std::function<bool(const std::vector<std::string>&)>& enough,
                               std::chrono::seconds limit) {
    std::vector<std::string> texts;
    for (const auto end = std::chrono::steady_clock::now() + limit;
         !enough(texts) && std::chrono::steady_clock::now() < end;) {
        texts = stream.events(texts.size() + 1, 1s);
    }
    return texts;
}

long count_of(const std::vector<std::string>& texts, const std::string& part) {
    return std::count_if(texts.begin(), texts.end(),
                         [&](const std::string& t) { return t.find(part) != std::string::npos; });
}

class windows_program : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_FALSE(prefix().empty() || from_environment("KORVALINE_EXE").empty())
            << "run by the Windows tree's CTest, which names the prefix and the program";
        fs::remove_all(local_app_data());
        module = std::make_unique<sim::module>(sim::module_options{.reply_delay = 3ms});
        link_port(*module);
        program = std::make_unique<test::child_process>(
            from_environment("KORVALINE_WINE_RUN"), std::vector<std::string>{},
            std::vector<std::string>{from_environment("KORVALINE_EXE"), "--headless", "--port",
                                     "COM5"});
        ASSERT_TRUE(program->wait_for_output(serving, 120s)) << program->output();
        ASSERT_TRUE(connected(true)) << program->output();
    }
    static void TearDownTestSuite() {
        program.reset();
        module.reset();
        std::error_code ignored;
        fs::remove(prefix() / "dosdevices/com5", ignored);
    }
    void TearDown() override {
        if (HasFailure()) {
            std::cout << "program output:\n" << program->output() << std::endl;
        }
    }

    static bool connected(bool wanted) {
        return test::eventually(
            [wanted] {
                const auto res = httplib::Client("127.0.0.1", 5000).Get("/state");
                return res && res->body.find(wanted ? R"("connected":true)"
                                                    : R"("connected":false)") != std::string::npos;
            },
            30s);
    }
    // The module's commands since the last call, but for the reads of its settings that the
    // program makes on its own (after a save, at a connect).
    static std::vector<std::string> sent() {
        auto commands = module->commands();
        module->clear_commands();
        std::erase(commands, "/get params all");
        return commands;
    }

    static std::unique_ptr<sim::module> module;
    static std::unique_ptr<test::child_process> program;
    httplib::Client client{"127.0.0.1", 5000};
};
std::unique_ptr<sim::module> windows_program::module;
std::unique_ptr<test::child_process> windows_program::program;

TEST_F(windows_program, every_editor_route_reaches_the_module_through_com5) {
    sent();
    // A set is a query: its success means the module's reply came back through the port.
    auto res = client.Get("/set/kick/threshold/42");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, R"({"type": "message", "message": "success"})");
    ASSERT_TRUE(module->wait_for_commands(1, 5s));
    EXPECT_THAT(sent(), ElementsAre("/set kick threshold 42"));

    EXPECT_THAT(client.Get("/select/3")->body, HasSubstr("Selected instrument: 3"));
    httplib::MultipartFormDataItems curve{{"file", R"({"p":[[0,0],[1023]]})", "", ""}};
    EXPECT_THAT(client.Post("/curve", curve)->body, HasSubstr("Successfully set curve."));
    EXPECT_THAT(client.Get("/save_params_all")->body, HasSubstr("OK"));
    ASSERT_TRUE(module->wait_for_commands(3, 5s));
    EXPECT_THAT(sent(),
                ElementsAre("$3", R"(/set curve snare {"p":[[0,0],[1023]]})", "/save params all"));

    // The settings read comes back whole: every byte of the module's answer crossed the port.
    res = client.Get("/get_all");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, module->params_json() + "\r\n");
}

TEST_F(windows_program, the_noise_logger_publishes_the_module_readings) {
    test::raw_stream stream(5000);
    ASSERT_TRUE(client.Get("/start_noise_logger"));
    const auto events = until(
        stream,
        [](const auto& texts) {
            return count_of(texts, R"({"value": ")") >= 2 && count_of(texts, R"({"curve": ")") >= 2;
        },
        20s);
    client.Get("/stop_noise_logger");
    EXPECT_GE(count_of(events, R"({"value": ")"), 2) << testing::PrintToString(events);
    EXPECT_GE(count_of(events, R"({"curve": "[)"), 2);
}

TEST_F(windows_program, kits_and_safety_copies_go_to_the_local_application_data) {
    httplib::MultipartFormDataItems kit{{"name", "B\u00fchne", "", ""},
                                        {"notes", "Open air, 2 toms", "", ""}};
    const auto saved = client.Post("/kits", kit);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->status, 200) << saved->body;
    const auto kits = client.Get("/kits");
    ASSERT_TRUE(kits);
    EXPECT_THAT(kits->body, HasSubstr("B\u00fchne"));
    ASSERT_TRUE(fs::is_directory(local_app_data() / "kits"));
    EXPECT_EQ(std::distance(fs::directory_iterator(local_app_data() / "kits"), {}), 1);

    // A firmware update keeps a copy of the settings first; no bootloader answers under Wine.
    test::raw_stream stream(5000);
    std::string image = "Korvaline firmware by Talverin Acoustics\n" + std::string(5000, 'Z');
    httplib::MultipartFormDataItems upload{
        {"firmware_file", image, "Korvaline.bin", "application/octet-stream"}};
    const auto accepted = client.Post("/firmware", upload);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->body, R"({"status": "done"})");
    const auto events = until(
        stream, [](const auto& texts) { return count_of(texts, "firmware_upload_end") > 0; }, 60s);
    EXPECT_EQ(count_of(events, R"("event" : "safety_copy", "name": ")"), 1)
        << testing::PrintToString(events);
    EXPECT_EQ(count_of(events, "firmware_upload_error"), 1);
    ASSERT_TRUE(fs::is_directory(local_app_data() / "backups"));
    EXPECT_EQ(std::distance(fs::directory_iterator(local_app_data() / "backups"), {}), 1);
}

TEST_F(windows_program, an_unplugged_module_is_noticed_and_works_again_once_back) {
    // The stream is known to be open once it carries a reading: the unplug's event must find it.
    test::raw_stream stream(5000);
    ASSERT_TRUE(client.Get("/start_noise_logger"));
    ASSERT_FALSE(until(
                     stream, [](const auto& t) { return count_of(t, R"({"value": ")") > 0; }, 20s)
                     .empty());
    client.Get("/stop_noise_logger");
    module->unplug();
    link_port(*module);
    ASSERT_TRUE(connected(false));
    module->plug();
    link_port(*module);
    ASSERT_TRUE(connected(true));
    sent();
    const auto res = client.Get("/set/snare/gain/2.5");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, R"({"type": "message", "message": "success"})");
    EXPECT_THAT(sent(), ElementsAre("/set snare gain 2.5"));
    const auto events = until(
        stream, [](const auto& t) { return count_of(t, R"({"event" : "connect"})") > 0; }, 10s);
    EXPECT_THAT(events, testing::Contains(R"({"event" : "disconnect"})"));
    EXPECT_THAT(events, testing::Contains(R"({"event" : "connect"})"));
}

// Last of the suite (GoogleTest runs a file's tests in order): the end of the program's one run.
// Wine turns a SIGINT into Ctrl+C only for a program with a console (the console handler is
// tested on its own, tests/platform); the GUI program is asked to close as Windows asks a program
// at a session's end or a close from the task manager: taskkill, which posts WM_CLOSE to it.
TEST_F(windows_program, a_close_request_ends_it_through_the_orderly_shutdown) {
    // The stream is known to be open once it carries a reading.
    test::raw_stream stream(5000);
    ASSERT_TRUE(client.Get("/start_noise_logger"));
    ASSERT_FALSE(stream.events(1, 20s).empty());
    client.Get("/stop_noise_logger");
    test::child_process taskkill(from_environment("KORVALINE_WINE_RUN"), {},
                                 {"taskkill", "/im", "korvaline.exe"});
    EXPECT_EQ(taskkill.wait_exit(60s), 0) << taskkill.output();
    EXPECT_EQ(program->wait_exit(60s), 0) << program->output();
    const auto events = until(
        stream, [](const auto& texts) { return count_of(texts, R"({"event" : "exit"})") > 0; }, 5s);
    EXPECT_EQ(count_of(events, R"({"event" : "exit"})"), 1);
}

}  // namespace
