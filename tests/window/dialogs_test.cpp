// The window's dialogs under Xvfb, answered from the keyboard as a user would (xdotool): a
// download asks where to save, in the XDG download folder under the server's file name, and a
// cancelled one writes nothing; closing with unsaved changes asks first, and can save.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <httplib.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "platform/window.h"
#include "tests/support/test_server.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The X side runs in processes of their own (xdotool): an X client in this process would share
// Xlib's process-wide error handler with GTK's.
bool shows(const std::string& title) {
    return std::system(
               ("xdotool search --onlyvisible --name '^" + title + "$' >/dev/null").c_str()) == 0;
}

// Focuses the window with this title once it shows (within 60 s), and types the keys into it.
bool type_into(const std::string& title, const std::string& keys) {
    return std::system(("timeout 60 xdotool search --sync --onlyvisible --name '^" + title +
                        "$' windowfocus --sync && xdotool key " + keys)
                           .c_str()) == 0;
}

// Runs the window's loop here and the user's part on another thread; the window closes when the
// user's part has ended, if it has not closed before.
void run_with(platform::window& window, const std::function<void()>& user) {
    std::thread other([&] {
        user();
        window.close();
    });
    window.run();
    other.join();
}

// Opens a page that downloads one file at once, answers the save dialog with the key, and
// returns what the download folder holds afterwards.
std::set<std::string> download_answered_with(const std::string& key) {
    httplib::Server server;
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<script>location.href = '/backup';</script>", "text/html");
    });
    server.Get("/backup", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Disposition", "attachment; filename=\"kit 1.json\"");
        res.set_content("{\"pads\": []}", "application/json");
    });
    test::running_server running(server, 5611);
    platform::window window;
    window.set_title("Korvaline");
    window.navigate("http://127.0.0.1:5611/");
    const fs::path downloads = fs::path(getenv("HOME")) / "Downloads here";
    run_with(window, [&] {
        EXPECT_TRUE(type_into("Save file", key));
        for (auto end = std::chrono::steady_clock::now() + 5s;
             fs::is_empty(downloads) && std::chrono::steady_clock::now() < end;) {
            std::this_thread::sleep_for(100ms);
        }
        std::this_thread::sleep_for(500ms);
    });
    std::set<std::string> files;
    for (const auto& file : fs::directory_iterator(downloads)) {
        std::ifstream in(file.path());
        files.insert(file.path().filename().string() + ": " +
                     std::string(std::istreambuf_iterator<char>(in), {}));
    }
    return files;
}

// One window with a download per process: CTest runs each case on its own.
TEST(DialogsTest, CancelledDownloadWritesNothing) {
    EXPECT_EQ(download_answered_with("Escape"), std::set<std::string>{});
}

TEST(DialogsTest, DownloadIsSavedUnderTheSuggestedName) {
    EXPECT_EQ(download_answered_with("Return"),
              std::set<std::string>{"kit 1.json: {\"pads\": []}"});
}

// The window manager's close message, as GTK delivers it (a delete event), on the GUI thread.
void close_as_the_user_would() {
    g_idle_add(
        [](gpointer) -> gboolean {
            GList* windows = gtk_window_list_toplevels();
            for (GList* item = windows; item != nullptr; item = item->next) {
                if (GTK_IS_WINDOW(item->data) &&
                    g_strcmp0(gtk_window_get_title(GTK_WINDOW(item->data)), "Korvaline") == 0) {
                    gtk_window_close(GTK_WINDOW(item->data));
                }
            }
            g_list_free(windows);
            return G_SOURCE_REMOVE;
        },
        nullptr);
}

TEST(DialogsTest, ClosingWithUnsavedChangesAsksFirst) {
    platform::window window;
    window.set_title("Korvaline");
    bool saved = false;
    window.set_close_guard([] { return true; }, [&] { saved = true; });
    bool stayed = false;
    run_with(window, [&] {
        close_as_the_user_would();
        ASSERT_TRUE(type_into("Unsaved changes", "Escape"));  // as "Cancel"
        std::this_thread::sleep_for(1s);
        stayed = shows("Korvaline");
        close_as_the_user_would();
        ASSERT_TRUE(type_into("Unsaved changes", "alt+s"));  // "Save to module"
        for (auto end = std::chrono::steady_clock::now() + 60s;
             shows("Korvaline") && std::chrono::steady_clock::now() < end;) {
            std::this_thread::sleep_for(100ms);
        }
    });
    EXPECT_TRUE(stayed);
    EXPECT_TRUE(saved);
}

}  // namespace

int main(int argc, char** argv) {
    // A temporary home, with the XDG folders and a download folder of its own, before GLib reads
    // them for the first time.
    char pattern[] = "/tmp/korvaline-dialogs-XXXXXX";
    const fs::path home = mkdtemp(pattern);
    for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"}) {
        fs::create_directories(home / name);
        setenv(name, (home / name).c_str(), 1);
    }
    setenv("HOME", home.c_str(), 1);
    fs::create_directories(home / "Downloads here");
    std::ofstream(home / "XDG_CONFIG_HOME" / "user-dirs.dirs")
        << "XDG_DOWNLOAD_DIR=\"$HOME/Downloads here\"\n";
    ::testing::InitGoogleTest(&argc, argv);
    const int status = platform::window::available() ? RUN_ALL_TESTS() : 77;
    fs::remove_all(home);
    return status;
}
