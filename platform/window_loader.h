#pragma once

#include <memory>
#include <string>

#include "platform/window_interface.h"

namespace platform {

// Either a window, or why the program runs without one (a short phrase that starts a sentence).
struct window_choice {
    std::unique_ptr<window_interface> window;
    std::string why_none;
};

// The one place that decides whether the program gets a window. Never with headless. On Linux,
// never when the environment names no display (DISPLAY, WAYLAND_DISPLAY); otherwise when the
// window module loads and GTK opens the display. On Windows always: Edge's app window, or without
// Edge the default browser, which serves until stopped. Call it on the thread that is to run the
// window.
window_choice open_window(bool headless);

}  // namespace platform
