// The native window under Xvfb against a server on port 5610: navigation stays inside the origin,
// the profile goes below XDG_DATA_HOME, and close() ends run() whether before or during it.
#include "platform/window.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <set>

#include "tests/support/test_server.h"

namespace {

using namespace std::chrono_literals;

TEST(window, navigation_stays_inside_the_origin_and_close_ends_the_run) {
    ASSERT_TRUE(platform::window::available()) << "no display: run under xvfb-run";
    // The page tries to leave the origin in three ways, then proves it is still alive and here.
    const std::string page =
        R"(<!doctype html><html><body><a id="out" href="http://localhost:5610/link">out</a>
<script>localStorage.setItem("seen", "yes"); window.open("/popup");
location.href = "http://localhost:5610/script"; document.getElementById("out").click();
setTimeout(() => { location.href = "/stayed"; }, 1500);</script></body></html>)";
    std::mutex mutex;
    std::set<std::string> seen;
    httplib::Server server;
    server.Get(".*", [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex);
        seen.insert(request.path);
        response.set_content(request.path == "/" ? page : "ok", "text/html");
    });
    test::running_server running(server, 5610);
    auto saw = [&](const std::string& path) {
        std::lock_guard lock(mutex);
        return seen.count(path) == 1;
    };

    platform::window window;
    window.set_title("Korvaline");
    std::thread([&] { window.close(); }).join();
    window.run();  // asked to close before it ran: returns at once
    window.navigate("http://127.0.0.1:5610/");
    std::thread checker([&] {
        // A page load may take seconds on a loaded machine.
        test::eventually([&] { return saw("/stayed"); }, 120s);
        window.close();
    });
    window.run();
    checker.join();
    EXPECT_TRUE(saw("/stayed")) << "the page's own navigation was blocked";
    EXPECT_FALSE(saw("/script") || saw("/link") || saw("/popup"));
    EXPECT_TRUE(std::filesystem::exists(std::string(getenv("XDG_DATA_HOME")) + "/korvaline"));
}

}  // namespace

int main(int argc, char** argv) {
    // The web view writes its profile below the XDG folders: a temporary home, before GLib reads.
    char pattern[] = "/tmp/korvaline-window-XXXXXX";
    const std::string home = mkdtemp(pattern);
    for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"}) {
        std::filesystem::create_directories(home + "/" + name);
        setenv(name, (home + "/" + name).c_str(), 1);
    }
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    std::filesystem::remove_all(home);
    return status;
}
