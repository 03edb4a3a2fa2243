// The native window under Xvfb, against a small in-process server on port 5610: size and title as
// the X server sees them, a rendered (not blank) page, the profile inside the XDG folders, the
// navigation fence, the in-memory error page, and every way of closing (WM_DELETE_WINDOW, close()
// from another thread). The program closes it on SIGINT and SIGTERM: the demo window test.
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/window.h"
#include "tests/support/test_server.h"
#include "tests/window/x11_probe.h"

namespace {

using namespace std::chrono_literals;

constexpr int port = 5610;
const std::string origin = "http://127.0.0.1:" + std::to_string(port);
constexpr auto generous = 60s;  // page loads take ~0.2 s here; a loaded machine may need far more

// Serves a few pages and records which paths were asked for.
class page_server {
  public:
    page_server() {
        server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
            {
                std::lock_guard lock(mutex_);
                seen_.insert(request.path);
            }
            response.set_content(page_for(request.path), "text/html");
        });
        // Bound before the window exists, so its first request finds the port open.
        running_.emplace(server_, port);
    }

    bool seen(const std::string& path) {
        std::lock_guard lock(mutex_);
        return seen_.count(path) != 0;
    }
    bool wait_for(const std::string& path, std::chrono::milliseconds limit = generous) {
        for (auto end = std::chrono::steady_clock::now() + limit;
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(50ms)) {
            if (seen(path)) {
                return true;
            }
        }
        return false;
    }

  private:
    static std::string page_for(const std::string& path) {
        if (path == "/") {
            // Reports back once it has been laid out and painted at least twice, and leaves
            // something in local storage so the profile folders come into being.
            return R"(<!doctype html><html><head><title>main</title></head>
<body style="margin:0;background:#2a6f97;color:#fff;font:48px sans-serif">
<h1 style="margin:200px 0 0 300px">Pad editor stand-in</h1>
<script>
localStorage.setItem("seen", "yes");
requestAnimationFrame(() => requestAnimationFrame(() => fetch("/painted")));
</script></body></html>)";
        }
        if (path == "/fence") {
            // Tries to leave the origin in three ways, then proves it is still alive and here.
            return R"(<!doctype html><html><body>
<a id="out" href="http://localhost:)" +
                   std::to_string(port) + R"(/escaped-link">out</a>
<script>
window.open("/popup");
location.href = "http://localhost:)" +
                   std::to_string(port) + R"(/escaped-script";
document.getElementById("out").click();
setTimeout(() => { location.href = "/stayed"; }, 1500);
</script></body></html>)";
        }
        return "<!doctype html><html><body>ok</body></html>";
    }

    httplib::Server server_;
    std::mutex mutex_;
    std::set<std::string> seen_;
    std::optional<test::running_server> running_;  // last: stops the server before the rest goes
};

// Runs a shell command and returns what it printed.
std::string output_of(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) {
            text.append(buffer, n);
        }
        pclose(pipe);
    }
    return text;
}

struct screenshot {
    int colours = 0;
    std::string corner;  // the pixel at (5, 5) as ImageMagick names it, e.g. "srgb(42,111,151)"
};

screenshot take_screenshot(const std::string& name) {
    std::string path = std::string(KORVALINE_WINDOW_TEST_OUTPUT) + "/" + name + ".png";
    std::filesystem::remove(path);
    output_of("import -window root '" + path + "'");
    std::string info = output_of("convert '" + path + "' -format '%k %[pixel:p{5,5}]' info:");
    screenshot result;
    char corner[64] = {};
    if (std::sscanf(info.c_str(), "%d %63s", &result.colours, corner) == 2) {
        result.corner = corner;
    }
    return result;
}

// Runs the window's loop on this thread and the checks on another; the checks must end by
// closing the window. If they throw or hang, the watchdog closes it so the test fails instead of
// blocking the suite.
void run_with(platform::window& window, const std::function<void()>& checks) {
    std::atomic<bool> done{false};
    std::thread checker([&] {
        checks();
        done = true;
    });
    std::thread watchdog([&] {
        for (auto end = std::chrono::steady_clock::now() + 2 * generous;
             !done && std::chrono::steady_clock::now() < end;) {
            std::this_thread::sleep_for(100ms);
        }
        if (!done) {
            window.close();
        }
    });
    window.run();
    checker.join();
    done = true;
    watchdog.join();
}

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!platform::window::available()) {
            GTEST_SKIP() << "no display: run under xvfb-run";
        }
    }
};

TEST_F(WindowTest, ShowsThePageAtItsSizeAndClosesOnSigterm) {
    page_server server;
    platform::window window;
    window.set_title("Korvaline");
    window.set_size(1280, 720);
    std::ifstream icon_file(KORVALINE_ICON_PNG, std::ios::binary);
    const std::string icon{std::istreambuf_iterator<char>(icon_file), {}};
    ASSERT_FALSE(icon.empty());
    window.set_icon_png(icon.data(), icon.size());
    window.navigate(origin);

    std::optional<x11_probe::toplevel> seen;
    long icon_pixels = 0;
    screenshot shot;
    bool painted = false;
    run_with(window, [&] {
        painted = server.wait_for("/painted");
        seen = x11_probe::wait_for_window("Korvaline", generous);
        icon_pixels = x11_probe::icon_pixels("Korvaline");
        std::this_thread::sleep_for(500ms);  // the frame after the reported one reaches the screen
        shot = take_screenshot("window");
        window.close();
    });

    EXPECT_TRUE(painted);
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->width, 1280);
    EXPECT_EQ(seen->height, 720);
    EXPECT_GT(shot.colours, 2) << "the screen is blank";
    EXPECT_GT(icon_pixels, 0) << "the desktop gets no icon for the window";
    EXPECT_EQ(shot.corner, "srgb(42,111,151)") << "the page's background is not on screen";

    // The browser profile went to our folder below the XDG data folder.
    EXPECT_TRUE(std::filesystem::exists(std::string(getenv("XDG_DATA_HOME")) + "/korvaline"));
    // The window is gone from the screen once run() has returned.
    EXPECT_FALSE(x11_probe::wait_for_window("Korvaline", 0ms).has_value());
}

TEST_F(WindowTest, ClosesOnWmDeleteWindow) {
    page_server server;
    platform::window window;
    window.set_title("Korvaline");
    window.navigate(origin);

    bool delivered = false;
    run_with(window, [&] {
        ASSERT_TRUE(x11_probe::wait_for_window("Korvaline", generous));
        delivered = x11_probe::send_delete("Korvaline");
    });
    EXPECT_TRUE(delivered);
}

TEST_F(WindowTest, CloseFromAnotherThreadBeforeAndDuringRun) {
    platform::window window;
    window.set_title("Korvaline");

    // Asked before the loop runs: the next run() returns at once.
    std::thread([&] { window.close(); }).join();
    run_with(window, [] {});

    run_with(window, [&] {
        ASSERT_TRUE(x11_probe::wait_for_window("Korvaline", generous));
        window.close();
    });
}

TEST_F(WindowTest, NavigationStaysInsideTheOrigin) {
    page_server server;
    platform::window window;
    window.set_title("Korvaline");
    window.navigate(origin + "/fence");

    bool stayed = false;
    run_with(window, [&] {
        stayed = server.wait_for("/stayed");
        window.close();
    });

    EXPECT_TRUE(stayed) << "the page's own navigation was blocked";
    EXPECT_FALSE(server.seen("/escaped-script"));
    EXPECT_FALSE(server.seen("/escaped-link"));
    EXPECT_FALSE(server.seen("/popup"));
}

TEST_F(WindowTest, ShowsAnErrorPageFromMemory) {
    platform::window window;
    window.set_title("Korvaline");
    window.navigate(origin);  // nothing listens there in this test
    window.show_html(
        "<!doctype html><html><body style='margin:0;background:#c00000'>"
        "<h1>Port 5000 is taken</h1></body></html>");
    // A corrupt icon is ignored rather than fatal.
    const unsigned char not_png[] = {1, 2, 3, 4};
    window.set_icon_png(not_png, sizeof not_png);
    long icon_pixels = -1;

    screenshot shot;
    run_with(window, [&] {
        ASSERT_TRUE(x11_probe::wait_for_window("Korvaline", generous));
        icon_pixels = x11_probe::icon_pixels("Korvaline");
        // No server tells us when the page is painted: look until it is, within the bound.
        for (auto end = std::chrono::steady_clock::now() + generous;
             std::chrono::steady_clock::now() < end && shot.corner != "srgb(192,0,0)";
             std::this_thread::sleep_for(250ms)) {
            shot = take_screenshot("error-page");
        }
        window.close();
    });
    EXPECT_EQ(shot.corner, "srgb(192,0,0)");
    EXPECT_EQ(icon_pixels, 0);
}

}  // namespace

int main(int argc, char** argv) {
    // The web view writes its profile below the XDG folders: give it a temporary home before GLib
    // reads them for the first time.
    char pattern[] = "/tmp/korvaline-window-XXXXXX";
    const char* home = mkdtemp(pattern);
    if (home == nullptr) {
        return 2;
    }
    for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"}) {
        std::string folder = std::string(home) + "/" + name;
        std::filesystem::create_directories(folder);
        setenv(name, folder.c_str(), 1);
    }
    ::testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    std::filesystem::remove_all(home);
    return status;
}
