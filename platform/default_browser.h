#pragma once

#include <memory>
#include <string>

#include "platform/window_interface.h"

namespace platform {

// Without Edge: the pages open in the user's default browser, a line on standard output says so,
// and run() serves until close() (Ctrl+C, the console's closing, logoff), as without a window.
// A message page (show_html) opens from a temporary file, and run() returns at once, as there is
// nothing to serve.
class default_browser_window final : public window_interface {
  public:
    // `why` starts the line: why there is no app window ("Microsoft Edge was not found"). The
    // line then says where the pages are, and ends as the line of a program without a window:
    // "serving the Korvaline pages at http://127.0.0.1:5000/ until stopped (Ctrl+C)."
    explicit default_browser_window(std::string why);
    ~default_browser_window() override;
    default_browser_window(const default_browser_window&) = delete;
    default_browser_window& operator=(const default_browser_window&) = delete;

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
