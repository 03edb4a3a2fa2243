#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/window_interface.h"

namespace platform {

// Where Windows says a program is installed: the default value of the key
// SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\<executable> in HKEY_LOCAL_MACHINE (its
// 64-bit view, then its 32-bit one), else in HKEY_CURRENT_USER, without surrounding quotes and
// with its environment variables expanded. UTF-8; empty when none names one.
std::string registered_program(const std::string& executable);

// The window as Edge's app window: a process of its own, started by run() and closed by close()
// (see edge_window.cpp for why not an embedded web view). The pages' own title and icon serve
// as the window's, so set_title() and set_icon_png() do nothing; Edge cannot be told what to ask
// before it closes, so the pages themselves ask while the module holds unsaved changes
// (module-state.js) and set_close_guard() does nothing either. When Edge cannot be started, the
// pages open in the default browser and the program serves them until it is stopped.
class edge_window final : public window_interface {
  public:
    // `browser` is msedge.exe's full path, `profile_folder` the window's own profile (UTF-8).
    // close() gives Edge `grace` to close its windows before it ends Edge's process.
    edge_window(std::string browser, std::string profile_folder,
                std::chrono::milliseconds grace = std::chrono::seconds(5));
    ~edge_window() override;
    edge_window(const edge_window&) = delete;
    edge_window& operator=(const edge_window&) = delete;

    void set_title(const std::string& title) override;
    void set_size(int width, int height) override;
    void set_icon_png(const void* data, std::size_t size) override;
    // The app window opens the address with the mark of the app window (app_window_url).
    void navigate(const std::string& url) override;
    // Written to message.html in the profile folder, which the app window opens.
    void show_html(const std::string& html) override;
    void set_close_guard(std::function<bool()> has_unsaved, std::function<void()> save) override;
    // Starts Edge and waits until its process ends, or until close().
    void run() override;
    // Posts WM_CLOSE to the visible top-level windows of Edge's process, from run()'s thread.
    void close() override;

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace platform
