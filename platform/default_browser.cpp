#include "platform/default_browser.h"

#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "platform/wide_text.h"

namespace platform {

namespace {

using text::wide;

// Opens an address or a file with the program Windows associates with it; false when Windows
// found none or could not start it.
bool open_with_default_program(const std::wstring& target) {
    // The shell may hand the request to COM components, which want the thread initialised.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return result > 32;
}

}  // namespace

struct default_browser_window::impl {
    std::string why;
    std::string url;
    std::string html;
    // Set by close(), never reset.
    HANDLE closing = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

default_browser_window::default_browser_window(std::string why) : impl_(std::make_unique<impl>()) {
    impl_->why = std::move(why);
}

default_browser_window::~default_browser_window() {
    CloseHandle(impl_->closing);
}

void default_browser_window::set_title(const std::string&) {}
void default_browser_window::set_size(int, int) {}
void default_browser_window::set_icon_png(const void*, std::size_t) {}
void default_browser_window::set_close_guard(std::function<bool()>, std::function<void()>) {}

void default_browser_window::navigate(const std::string& url) {
    impl_->url = url;
    impl_->html.clear();
}

void default_browser_window::show_html(const std::string& html) {
    impl_->html = html;
}

void default_browser_window::run() {
    if (WaitForSingleObject(impl_->closing, 0) == WAIT_OBJECT_0) {
        return;
    }
    if (!impl_->html.empty()) {
        std::error_code error;
        const std::filesystem::path file =
            std::filesystem::temp_directory_path(error) / L"korvaline-message.html";
        std::ofstream(file, std::ios::binary | std::ios::trunc) << impl_->html;
        open_with_default_program(file.wstring());
        return;
    }
    // The server's root is named with its slash, as the program's other lines name it.
    const std::size_t host = impl_->url.find("://");
    const bool bare =
        host != std::string::npos && impl_->url.find('/', host + 3) == std::string::npos;
    const std::string address = impl_->url + (bare ? "/" : "");
    const bool opened = open_with_default_program(wide(address));
    std::cout << impl_->why
              << (opened ? ", so the pages are open in the default browser"
                         : ", and no default browser could be opened")
              << ": serving the Korvaline pages at " << address << " until stopped (Ctrl+C)."
              << std::endl;
    WaitForSingleObject(impl_->closing, INFINITE);
}

void default_browser_window::close() {
    SetEvent(impl_->closing);
}

}  // namespace platform
