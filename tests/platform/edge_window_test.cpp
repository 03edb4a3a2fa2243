// Edge's app window as the program drives it, with a stand-in for Edge (stand_in_browser.cpp):
// the process it starts, and how it waits for and closes it. Wine has no Edge; what Edge itself
// does with these arguments is not tested here.
#include "platform/edge_window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::ElementsAre;

std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

fs::path beside_this_test(const wchar_t* name) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(self).parent_path() / name;
}

std::vector<std::string> lines_of(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class edge_window_test : public testing::Test {
  protected:
    // A profile folder whose name needs quotes and UTF-8, as a user's may.
    const fs::path profile = fs::temp_directory_path() /
                             (L"korvaline edge \u00e9 " + std::to_wstring(GetCurrentProcessId()));
    const std::string browser = utf8(beside_this_test(L"stand_in_browser.exe"));

    void SetUp() override { fs::remove_all(profile); }
    void TearDown() override { fs::remove_all(profile); }

    static void behave(const wchar_t* mode) {
        SetEnvironmentVariableW(L"KORVALINE_STAND_IN", mode);
    }
    // Runs the window on a thread of its own, closes it once the stand-in shows its window, and
    // answers what the stand-in saw. (Without a window station the stand-in ends at once: see
    // scripts/wine-run.)
    std::vector<std::string> closed_once_shown(std::chrono::milliseconds grace) {
        platform::edge_window window(browser, utf8(profile), grace);
        window.navigate("http://127.0.0.1:5000");
        std::atomic<bool> ended{false};
        std::thread gui([&] {
            window.run();
            ended = true;
        });
        const fs::path shown = profile / L"arguments.txt";
        EXPECT_TRUE(test::eventually([&] { return ended || fs::exists(shown); }, 60s) &&
                    fs::exists(shown));
        window.close();
        gui.join();
        return lines_of(profile / L"events.txt");
    }
};

TEST_F(edge_window_test, starts_edge_as_an_app_window_and_returns_when_the_user_closed_it) {
    behave(L"quit");
    platform::edge_window window(browser, utf8(profile));
    window.set_size(800, 600);
    window.navigate("http://127.0.0.1:5000");
    window.run();
    // Read back by CommandLineToArgvW: the quoting holds for a path with spaces and UTF-8.
    EXPECT_THAT(lines_of(profile / L"arguments.txt"),
                ElementsAre(browser, "--app=http://127.0.0.1:5000/?window=app",
                            "--window-size=800,600", "--user-data-dir=" + utf8(profile),
                            "--no-first-run", "--no-default-browser-check"));
}

TEST_F(edge_window_test, close_asks_edges_windows_to_close) {
    behave(L"close");
    EXPECT_THAT(closed_once_shown(10min), ElementsAre("WM_CLOSE"));
}

TEST_F(edge_window_test, a_window_that_stays_open_is_ended_with_its_process) {
    behave(L"stay");
    // Returns once the stand-in, which would wait for ever, has been ended.
    EXPECT_THAT(closed_once_shown(200ms), ElementsAre("WM_CLOSE ignored"));
}

TEST_F(edge_window_test, a_close_before_run_starts_nothing) {
    behave(L"quit");
    platform::edge_window window(browser, utf8(profile));
    window.navigate("http://127.0.0.1:5000");
    window.close();
    window.run();
    EXPECT_FALSE(fs::exists(profile));
}

TEST_F(edge_window_test, a_message_page_opens_from_the_profile_folder) {
    behave(L"quit");
    platform::edge_window window(browser, utf8(profile));
    window.show_html("<p>Port taken</p>");
    window.run();
    const fs::path page = profile / L"message.html";
    std::ostringstream content;
    content << std::ifstream(page, std::ios::binary).rdbuf();
    EXPECT_EQ(content.str(), "<p>Port taken</p>");
    const std::vector<std::string> arguments = lines_of(profile / L"arguments.txt");
    ASSERT_GE(arguments.size(), 2u);
    EXPECT_THAT(arguments[1], testing::StartsWith("--app=file:///"));
    EXPECT_THAT(arguments[1], testing::HasSubstr("/korvaline%20edge%20%C3%A9%20"));
    EXPECT_THAT(arguments[1], testing::EndsWith("/message.html"));
}

// The keys a test writes: App Paths for a name of its own, removed again.
class app_paths_test : public testing::Test {
  protected:
    const std::string name = "korvaline-test-" + std::to_string(GetCurrentProcessId()) + ".exe";
    const std::wstring key = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" +
                             std::wstring(name.begin(), name.end());

    void write(HKEY root, DWORD type, const std::wstring& value) {
        HKEY opened = nullptr;
        ASSERT_EQ(RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened,
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(opened, nullptr, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(opened);
    }
    void TearDown() override {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
    }
};

TEST_F(app_paths_test, the_machines_entry_comes_first_then_the_users) {
    EXPECT_EQ(platform::registered_program(name), "");
    write(HKEY_CURRENT_USER, REG_SZ, L"\"C:\\Users\\Ann Smith\\Edge\\msedge.exe\"");
    EXPECT_EQ(platform::registered_program(name), "C:\\Users\\Ann Smith\\Edge\\msedge.exe");
    write(HKEY_LOCAL_MACHINE, REG_EXPAND_SZ, L"%SystemRoot%\\Edge\\msedge.exe");
    wchar_t root[MAX_PATH];
    GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
    EXPECT_EQ(platform::registered_program(name), utf8(fs::path(root) / L"Edge\\msedge.exe"));
}

}  // namespace
