#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/window_interface.h"

namespace platform {

// The window in GTK 3 and WebKitGTK 4.1. Built into the window module (korvaline-window.so), which
// the program loads only when it opens a window; the window tests link it directly. A download the
// page starts opens a save dialog (see window.cpp).
class window final : public window_interface {
  public:
    // Initialises GTK once per process; false when there is no display to open a window on.
    static bool available();

    // Creates the hidden window and its web view, with developer extras off. Requires available().
    window();
    ~window() override;
    window(const window&) = delete;
    window& operator=(const window&) = delete;

    void set_title(const std::string& title) override;
    void set_size(int width, int height) override;
    void set_icon_png(const void* data, std::size_t size) override;
    void navigate(const std::string& url) override;
    void show_html(const std::string& html) override;
    void set_close_guard(std::function<bool()> has_unsaved, std::function<void()> save) override;
    void run() override;
    void close() override;

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace platform
