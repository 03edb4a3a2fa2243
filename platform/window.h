#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace platform {

// One native top-level window with an embedded web view (GTK 3 and WebKitGTK 4.1), showing only
// the pages of the origin it was last navigated to. Every member except close() must be called
// on the thread that called available(), which becomes the GUI thread.
class window {
  public:
    // Initialises GTK once per process; false when there is no display to open a window on.
    static bool available();

    // Creates the hidden window and its web view, with developer extras off. Requires available().
    window();
    ~window();
    window(const window&) = delete;
    window& operator=(const window&) = delete;

    void set_title(const std::string& title);
    // The size of the client area. The user may still resize and maximise the window.
    void set_size(int width, int height);
    // Uses the PNG image as the window's icon; an image GdkPixbuf cannot decode is ignored.
    void set_icon_png(const void* data, std::size_t size);
    // Loads the URL and restricts later navigation to its origin (scheme, host and port).
    void navigate(const std::string& url);
    // Shows a page from memory, for a local error page when the server is unreachable.
    void show_html(const std::string& html);

    // Shows the window and runs the message loop until the window is closed: by the user, by the
    // window manager (WM_DELETE_WINDOW) or by close(). The window is hidden when run() returns and
    // destroyed by the destructor.
    void run();

    // Asks the window to close, as its close button would. Safe from any thread; when run() has
    // not started yet, the next run() returns at once.
    void close();

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace platform
