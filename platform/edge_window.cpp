// The window on Windows: Edge started as an app window on the program's pages.
//
// Why not a web view embedded in the program (WebView2): the control is reached only through
// Microsoft's WebView2 SDK (its COM interfaces and loader library), which is published on NuGet
// alone, while this program's third-party code comes from Debian's packages and npm, and neither
// carries it. Edge itself is part of Windows 10 and 11, and WebView2 is Edge's engine: started
// with --app, Edge shows the same pages with the same engine in a window without tabs or address
// bar. What that costs is said where it shows: the window is another program's process, which the
// program watches and closes from outside; the question before closing with unsaved changes is the
// browser's own, asked by the pages; the window's title and icon are the page's.
#include "platform/edge_window.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>

#include "platform/default_browser.h"
#include "platform/edge_command_line.h"
#include "platform/wide_text.h"

namespace platform {

namespace {

using text::utf8;
using text::wide;

// The system's sentence for an error, without its closing full stop and line break.
std::string system_message(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 ? std::wstring(text, length) : L"";
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L'.' || message.back() == L' ')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error) : utf8(message);
}

// Edge's own windows: those it shows. Its hidden top-level windows serve its inner workings and
// are left alone, as the user's close button would leave them.
void close_visible_windows(DWORD process) {
    EnumWindows(
        [](HWND window, LPARAM wanted) -> BOOL {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == static_cast<DWORD>(wanted) && IsWindowVisible(window)) {
                PostMessageW(window, WM_CLOSE, 0, 0);
            }
            return TRUE;
        },
        static_cast<LPARAM>(process));
}

}  // namespace

std::string registered_program(const std::string& executable) {
    const std::wstring key =
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + wide(executable);
    const struct {
        HKEY root;
        REGSAM view;
    } places[] = {{HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY},
                  {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY},
                  {HKEY_CURRENT_USER, 0}};
    for (const auto& place : places) {
        HKEY opened = nullptr;
        if (RegOpenKeyExW(place.root, key.c_str(), 0, KEY_QUERY_VALUE | place.view, &opened) !=
            ERROR_SUCCESS) {
            continue;
        }
        // A REG_EXPAND_SZ comes expanded (RRF_RT_REG_SZ without RRF_NOEXPAND takes both), which
        // may need more room than the stored value: ask until it fits.
        std::wstring value(MAX_PATH, L'\0');
        LSTATUS status;
        for (;;) {
            DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
            status = RegGetValueW(opened, nullptr, nullptr, RRF_RT_REG_SZ, nullptr, value.data(),
                                  &bytes);
            if (status != ERROR_MORE_DATA) {
                break;
            }
            value.resize(bytes / sizeof(wchar_t) + MAX_PATH);
        }
        RegCloseKey(opened);
        if (status != ERROR_SUCCESS) {
            continue;
        }
        value.resize(value.find(L'\0'));
        if (value.size() >= 2 && value.front() == L'"' && value.back() == L'"') {
            value = value.substr(1, value.size() - 2);
        }
        if (!value.empty()) {
            return utf8(value);
        }
    }
    return {};
}

struct edge_window::impl {
    std::string browser;
    std::string profile_folder;
    std::chrono::milliseconds grace;
    int width = 1280;
    int height = 720;
    // What the window shows: the program's address, or a message page in the profile folder.
    std::string url;
    std::string html;
    // Set by close(), never reset: run() returns once it is set, or at once when it is set before.
    HANDLE closing = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::mutex mutex;
    // Where the pages go when Edge cannot be started; then close() reaches it instead.
    std::unique_ptr<default_browser_window> fallback;

    std::filesystem::path message_file() const {
        return std::filesystem::path(wide(profile_folder)) / L"message.html";
    }

    // The address the app window opens: the pages, or the message written into the profile folder.
    std::string address() {
        if (html.empty()) {
            return edge::app_window_url(url);
        }
        std::error_code ignored;
        std::filesystem::create_directories(message_file().parent_path(), ignored);
        std::ofstream(message_file(), std::ios::binary | std::ios::trunc) << html;
        return edge::file_url(utf8(message_file().wstring()));
    }

    void run_in_default_browser(const std::string& why) {
        {
            std::lock_guard lock(mutex);
            if (WaitForSingleObject(closing, 0) == WAIT_OBJECT_0) {
                return;
            }
            fallback = std::make_unique<default_browser_window>(why);
            if (html.empty()) {
                fallback->navigate(url);
            } else {
                fallback->show_html(html);
            }
        }
        fallback->run();
    }
};

edge_window::edge_window(std::string browser, std::string profile_folder,
                         std::chrono::milliseconds grace)
    : impl_(std::make_unique<impl>()) {
    impl_->browser = std::move(browser);
    impl_->profile_folder = std::move(profile_folder);
    impl_->grace = grace;
}

edge_window::~edge_window() {
    CloseHandle(impl_->closing);
}

void edge_window::set_title(const std::string&) {}

void edge_window::set_size(int width, int height) {
    impl_->width = width;
    impl_->height = height;
}

void edge_window::set_icon_png(const void*, std::size_t) {}

void edge_window::navigate(const std::string& url) {
    impl_->url = url;
    impl_->html.clear();
}

void edge_window::show_html(const std::string& html) {
    impl_->html = html;
}

void edge_window::set_close_guard(std::function<bool()>, std::function<void()>) {}

void edge_window::run() {
    if (WaitForSingleObject(impl_->closing, 0) == WAIT_OBJECT_0) {
        return;
    }
    std::wstring line = edge::command_line(
        {impl_->browser, impl_->address(), impl_->profile_folder, impl_->width, impl_->height});
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(wide(impl_->browser).c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &started)) {
        const DWORD error = GetLastError();
        impl_->run_in_default_browser("Cannot start Microsoft Edge (" + impl_->browser + ": " +
                                      system_message(error) + ")");
        return;
    }
    CloseHandle(started.hThread);
    const HANDLE events[] = {started.hProcess, impl_->closing};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        close_visible_windows(started.dwProcessId);
        // A window that does not close in time (a question of the page left unanswered, a
        // browser that hangs) is ended with its process.
        if (WaitForSingleObject(started.hProcess, static_cast<DWORD>(impl_->grace.count())) !=
            WAIT_OBJECT_0) {
            TerminateProcess(started.hProcess, 0);
            WaitForSingleObject(started.hProcess, INFINITE);
        }
    }
    CloseHandle(started.hProcess);
}

void edge_window::close() {
    std::lock_guard lock(impl_->mutex);
    SetEvent(impl_->closing);
    if (impl_->fallback) {
        impl_->fallback->close();
    }
}

}  // namespace platform
