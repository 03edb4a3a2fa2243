// The window's dialogs under Xvfb, answered from the keyboard with xdotool: the save dialog of a
// download, and the question before closing with unsaved changes.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "platform/window.h"
#include "tests/support/test_server.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Types the keys into the dialog once it shows. The keys go in from another process: an X client
// in this one would race GTK's.
bool answer(const std::string& title, const std::string& keys) {
    const std::string dialog =
        "timeout 60 xdotool search --sync --onlyvisible --name '^" + title + "$'";
    // A window found while GTK is still mapping it may be gone by the focus (BadWindow), before
    // any key went out: look for it again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (std::system((dialog + " windowfocus --sync && xdotool key " + keys).c_str()) == 0) {
            return true;
        }
    }
    return false;
}

// Answers the dialog of a page's download with the key; returns the download folder's files. The
// page fetches the file first and hands it over through a blob address, as the settings page does
// with a backup (to say why one failed).
std::set<std::string> download_answered_with(const std::string& key) {
    httplib::Server server;
    server.Get("/backup", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("{\"pads\": []}", "application/json");
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(R"(<script>fetch("/backup").then((r) => r.blob()).then((blob) => {
const a = document.createElement("a"); a.href = URL.createObjectURL(blob); a.download = "kit 1.json";
document.documentElement.append(a); a.click(); });</script>)", "text/html");
    });
    test::running_server running(server, 5611);
    platform::window window;
    window.navigate("http://127.0.0.1:5611/");
    const fs::path downloads = fs::path(getenv("HOME")) / "Downloads here";
    std::thread user([&] {
        EXPECT_TRUE(answer("Save file", key));
        test::eventually([&] { return !fs::is_empty(downloads); }, 5s);
        std::this_thread::sleep_for(500ms);
        window.close();
    });
    window.run();
    user.join();
    std::set<std::string> files;
    for (const auto& file : fs::directory_iterator(downloads)) {
        std::ifstream in(file.path());
        files.insert(file.path().filename().string() + ": " +
                     std::string(std::istreambuf_iterator<char>(in), {}));
    }
    return files;
}

TEST(DialogsTest, CancelledDownloadWritesNothing) {
    EXPECT_EQ(download_answered_with("Escape"), std::set<std::string>{});
}

TEST(DialogsTest, DownloadIsSavedUnderTheSuggestedName) {
    EXPECT_EQ(download_answered_with("Return"),
              std::set<std::string>{"kit 1.json: {\"pads\": []}"});
}

// The close button of the window's frame, as GTK delivers it: a delete event on the GUI thread.
void close_as_the_user_would() {
    g_idle_add(
        [](gpointer) -> gboolean {
            GList* windows = gtk_window_list_toplevels();
            for (GList* item = windows; item != nullptr; item = item->next) {
                if (g_strcmp0(gtk_window_get_title(GTK_WINDOW(item->data)), "Korvaline") == 0) {
                    gtk_window_close(GTK_WINDOW(item->data));
                }
            }
            g_list_free(windows);
            return G_SOURCE_REMOVE;
        },
        nullptr);
}

// "Cancel" keeps the window (the second question could not show otherwise); "Save to module"
// saves, then closes: run() returns.
TEST(DialogsTest, ClosingWithUnsavedChangesAsksFirst) {
    platform::window window;
    window.set_title("Korvaline");
    std::atomic<int> saved = 0;
    window.set_close_guard([] { return true; }, [&] { ++saved; });
    std::thread user([&] {
        close_as_the_user_would();
        EXPECT_TRUE(answer("Unsaved changes", "alt+c"));
        std::this_thread::sleep_for(1s);
        EXPECT_EQ(saved, 0);
        close_as_the_user_would();
        if (!answer("Unsaved changes", "alt+s")) {
            ADD_FAILURE() << "no second question: the window closed on Cancel";
            window.close();
        }
    });
    window.run();
    user.join();
    EXPECT_EQ(saved, 1);
}

}  // namespace

int main(int argc, char** argv) {
    // A temporary home holding the XDG folders and a download folder, before GLib reads them.
    char pattern[] = "/tmp/korvaline-dialogs-XXXXXX";
    const fs::path home = mkdtemp(pattern);
    setenv("HOME", home.c_str(), 1);
    for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"}) {
        unsetenv(name);
    }
    fs::create_directories(home / "Downloads here");
    fs::create_directories(home / ".config");
    std::ofstream(home / ".config/user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"$HOME/Downloads here\"\n";
    ::testing::InitGoogleTest(&argc, argv);
    const int status = platform::window::available() ? RUN_ALL_TESTS() : 77;
    fs::remove_all(home);
    return status;
}
