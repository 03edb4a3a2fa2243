// The native window under Xvfb against servers on ports 5610 and 5612: navigation stays inside the
// origin, the profile goes below XDG_DATA_HOME, close() ends run() whether before or during it, and
// a window closed in the middle of a load goes quietly.
#include "platform/window.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/test_server.h"
#include "tests/support/wait.h"

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

// Whether this process still has a child that runs: the engine's web and network processes are
// reparented to the test (a subreaper) when the window's process ends.
bool engine_running() {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // After the command's closing parenthesis: the state, then the parent.
        std::istringstream rest(line.substr(line.rfind(')') + 1));
        char state = 0;
        pid_t parent = 0;
        if (rest >> state >> parent && parent == getpid() && state != 'Z') {
            return true;
        }
    }
    return false;
}

// The window's side of the test below, in a process of its own that ends as the program does,
// right after the window: it closes the window once a byte arrives on `ready`.
int close_during_load(const char* url, int ready) {
    if (!platform::window::available()) {
        return 2;
    }
    platform::window window;
    window.navigate(url);
    std::thread closer([&] {
        char byte = 0;
        if (read(ready, &byte, 1) != 1) {
            return;
        }
        window.close();
    });
    window.run();
    closer.join();
    return 0;
}

// The page, one of its scripts or its event stream still unanswered when the window closes and its
// process ends: the engine's processes end without printing an error (the web process reported an
// "internal error" for each load cut off when the network process went first).
TEST(window, closing_during_a_load_leaves_the_engine_silent) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    struct moment {
        std::string held;
        std::string page;
    };
    for (const moment& at :
         {moment{"/", ""}, moment{"/held.js", R"(<script src="/held.js"></script>)"},
          moment{"/stream", R"(<script>new EventSource("/stream")</script>)"}}) {
        SCOPED_TRACE("closed while " + at.held + " was unanswered");
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        std::mutex mutex;
        std::condition_variable released_or_seen;
        bool released = false;
        httplib::Server server;
        server.Get(".*", [&](const httplib::Request& request, httplib::Response& response) {
            if (request.path != at.held) {
                return response.set_content("<!doctype html><p>page</p>" + at.page, "text/html");
            }
            EXPECT_EQ(write(ready[1], "x", 1), 1);
            std::unique_lock lock(mutex);
            released_or_seen.wait(lock, [&] { return released; });
            response.set_content("", "text/plain");
        });
        test::running_server running(server, 5612);

        const std::string log = std::string(getenv("XDG_CACHE_HOME")) + "/engine.log";
        const pid_t child = fork();
        if (child == 0) {
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(out, 2);
            close(ready[1]);
            const std::string fd = std::to_string(ready[0]);
            execl("/proc/self/exe", "window_test", "--close-during-load", "http://127.0.0.1:5612/",
                  fd.c_str(), nullptr);
            _exit(127);
        }
        close(ready[0]);
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        // What the engine's processes print comes before they end.
        EXPECT_TRUE(test::eventually([] { return !engine_running(); }, 60s))
            << "the engine's processes outlived the window";
        {
            std::lock_guard lock(mutex);
            released = true;
        }
        released_or_seen.notify_all();
        running.stop();
        close(ready[1]);
        std::ifstream printed(log);
        const std::string output((std::istreambuf_iterator<char>(printed)), {});
        EXPECT_EQ(output.find("internal error"), std::string::npos) << output;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--close-during-load") {
        return close_during_load(argv[2], std::stoi(argv[3]));
    }
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
