#pragma once

#include <chrono>
#include <optional>
#include <string>

// What a window manager or a test sees of a top-level window from outside, through a connection
// of its own to the X server named by DISPLAY.
namespace x11_probe {

struct toplevel {
    unsigned long id = 0;
    int width = 0;
    int height = 0;
    bool viewable = false;
};

// Waits until a viewable window with this title (WM_NAME) exists, up to the limit.
std::optional<toplevel> wait_for_window(const std::string& title, std::chrono::milliseconds limit);

// The number of pixels of the icon the window offers the desktop (its WM_HINTS icon pixmap), or
// 0 when it offers none.
long icon_pixels(const std::string& title);

// Sends the WM_DELETE_WINDOW client message a window manager sends when the user clicks the close
// button. Returns false when no window has this title.
bool send_delete(const std::string& title);

}  // namespace x11_probe
