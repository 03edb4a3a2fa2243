#pragma once

#include <string>

namespace platform::edge {

// How Edge is started to show the pages as an app window: a window of its own without the
// browser's tabs and toolbar, with a profile folder of its own, so that the window is a process of
// its own too (a browser already running with the user's profile would otherwise take the window
// over, and the program could not tell when it closes).
struct app_window {
    std::string browser;  // the full path of msedge.exe, in UTF-8
    std::string url;
    std::string profile_folder;  // in UTF-8
    int width = 1280;
    int height = 720;
};

// The whole command line for CreateProcessW, in UTF-16 code units: the program's path in quotes,
// then each argument quoted where it needs it, so that the browser's CommandLineToArgvW reads back
// exactly the arguments meant.
std::wstring command_line(const app_window& window);

// One argument as CommandLineToArgvW reads it back: as it is unless it is empty or holds a space,
// a tab, a line break or a quote; then in quotes, with each quote and each run of backslashes
// before a quote (or before the closing quote) escaped by backslashes. UTF-8 in, UTF-16 out; a
// byte that is not UTF-8 becomes U+FFFD.
std::wstring quote_argument(const std::string& argument);

// The address the app window opens for the program's address: its pages mark themselves as shown
// in the app window (the query "window=app") so that only there they ask before the window closes.
std::string app_window_url(const std::string& url);

// A file:/// address for a Windows path (UTF-8), which the browser takes from its command line
// only as ASCII: backslashes become slashes, and every byte outside letters, digits and
// "-._~/:" is percent-encoded.
std::string file_url(const std::string& windows_path);

}  // namespace platform::edge
