#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace platform {

// What the program asks of its native window: one top-level window with a web view that shows
// only the pages of the origin it was last navigated to. On Linux the window lives in a module of
// its own that links GTK and WebKitGTK, so a program serving without a window never maps them; on
// Windows it is Edge's app window, a process of its own (edge_window.h). This header, free of
// both, is all the rest of the program sees. Every member except set_title() and close() must be
// called on the thread that opened the window, which becomes the GUI thread.
class window_interface {
  public:
    virtual ~window_interface() = default;

    // Safe from any thread: from another one, the title changes once the message loop runs, in
    // the order of the calls.
    virtual void set_title(const std::string& title) = 0;
    // The size of the client area. The user may still resize and maximise the window.
    virtual void set_size(int width, int height) = 0;
    // Uses the PNG image as the window's icon; an image that cannot be decoded is ignored.
    virtual void set_icon_png(const void* data, std::size_t size) = 0;
    // Loads the URL and restricts later navigation to its origin (scheme, host and port).
    virtual void navigate(const std::string& url) = 0;
    // Shows a page from memory, for a local error page when the server is unreachable.
    virtual void show_html(const std::string& html) = 0;

    // When the user closes the window (its close button or the window manager's close message)
    // while has_unsaved() answers true, the window asks whether to save first: "Save to module"
    // calls save() and then closes, "Close without saving" closes, "Cancel" keeps the window.
    // close() never asks. Both functions run on the GUI thread; without a guard nothing is asked.
    virtual void set_close_guard(std::function<bool()> has_unsaved, std::function<void()> save) = 0;

    // Shows the window and runs the message loop until the window is closed: by the user, by the
    // window manager or by close(). The window is hidden when run() returns.
    virtual void run() = 0;
    // Asks the window to close without asking the user anything. Safe from any thread; when run()
    // has not started yet, the next run() returns at once.
    virtual void close() = 0;
};

// The window module's one export, a C function of this type under this name: it initialises GTK
// and creates the hidden window, or returns null when no display can be opened. The caller owns
// the window.
using window_factory = window_interface* (*)();
inline constexpr const char* window_factory_name = "korvaline_create_window";

}  // namespace platform
