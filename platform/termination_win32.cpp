#include <windows.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/termination.h"

namespace platform {

// Windows tells a program to end in two ways, and a program of the GUI subsystem needs both.
// The console it is attached to (if any) calls a handler on a thread of its own for Ctrl+C,
// Ctrl+Break and the console's closing; but a process that has loaded user32 gets no console
// events for logoff and shutdown, which reach it only as WM_QUERYENDSESSION and WM_ENDSESSION at
// its top-level windows. So a hidden top-level window on a thread of its own answers those, and
// also WM_CLOSE, which `taskkill` without /F posts to a program's top-level windows.
//
// For the console's closing, logoff and shutdown the system ends the process as soon as the
// handler returns (at the latest some seconds later), so those handlers hold until the orderly
// shutdown is over: the console handler until the process ends, the window until this object is
// destroyed, which the program does last.
struct termination_signals::impl {
    std::mutex mutex;
    std::condition_variable changed;
    bool by_system = false;
    bool by_request = false;
    // The window's thread has created its window (or failed to) and put it here.
    bool window_ready = false;
    HWND window = nullptr;
    // Set by the destructor: a session's end need no longer be held.
    bool ending = false;
    std::thread window_thread;

    void wake(bool from_system) {
        std::lock_guard lock(mutex);
        (from_system ? by_system : by_request) = true;
        changed.notify_all();
    }

    // WM_ENDSESSION: the session ends, and the process with it once the message returns.
    void hold_session_end() {
        std::unique_lock lock(mutex);
        by_system = true;
        changed.notify_all();
        changed.wait(lock, [this] { return ending; });
    }

    void run_window();
    static BOOL WINAPI on_console_event(DWORD event);
    static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam,
                                             LPARAM lparam);

    // A console handler can reach nothing but globals: this is the live instance, or null, and
    // whether a console handler holds the console's end (see the destructor).
    static std::mutex live_mutex;
    static impl* live;
    static bool console_end_held;
};

std::mutex termination_signals::impl::live_mutex;
termination_signals::impl* termination_signals::impl::live = nullptr;
bool termination_signals::impl::console_end_held = false;

namespace {

const wchar_t window_class[] = L"KorvalineTermination";
// Posted by the destructor: the window goes and its thread ends.
constexpr UINT stop_message = WM_APP + 1;

}  // namespace

BOOL WINAPI termination_signals::impl::on_console_event(DWORD event) {
    const bool ends_session =
        event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    {
        std::lock_guard lock(live_mutex);
        if (live == nullptr) {
            return FALSE;  // the system's own handling, which ends the process
        }
        live->wake(true);
        console_end_held = console_end_held || ends_session;
    }
    if (ends_session) {
        // The process ends when main() returns, ending this thread with it.
        Sleep(INFINITE);
    }
    return TRUE;
}

LRESULT CALLBACK termination_signals::impl::window_procedure(HWND window, UINT message,
                                                             WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    auto* self = reinterpret_cast<impl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case WM_CLOSE:
            // Never closed by this message: the orderly shutdown closes it.
            self->wake(true);
            return 0;
        case WM_QUERYENDSESSION:
            // Another program may still veto the session's end: only WM_ENDSESSION ends ours.
            return TRUE;
        case WM_ENDSESSION:
            if (wparam != FALSE) {
                self->hold_session_end();
            }
            return 0;
        case stop_message:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wparam, lparam);
    }
}

void termination_signals::impl::run_window() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW type{};
    type.lpfnWndProc = window_procedure;
    type.hInstance = instance;
    type.lpszClassName = window_class;
    RegisterClassW(&type);
    // Top-level, never shown: a message-only window would get neither the session's messages
    // nor taskkill's. Without a window station (a service, Wine without a display) there is
    // none, and the console's events remain.
    const HWND created =
        CreateWindowExW(0, window_class, L"Korvaline", WS_OVERLAPPED, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, this);
    {
        std::lock_guard lock(mutex);
        window = created;
        window_ready = true;
        changed.notify_all();
    }
    if (created != nullptr) {
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            DispatchMessageW(&message);
        }
    }
    UnregisterClassW(window_class, instance);
}

termination_signals::termination_signals() : impl_(std::make_unique<impl>()) {
    {
        std::lock_guard lock(impl::live_mutex);
        if (impl::live != nullptr) {
            OutputDebugStringW(L"Only one termination_signals may exist at a time.\n");
            std::abort();
        }
        impl::live = impl_.get();
        impl::console_end_held = false;
    }
    SetConsoleCtrlHandler(impl::on_console_event, TRUE);
    impl_->window_thread = std::thread([this] { impl_->run_window(); });
    // The window answers before start-up goes on, so that a close sent once the program has
    // announced itself finds it.
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait(lock, [this] { return impl_->window_ready; });
}

termination_signals::~termination_signals() {
    bool held;
    {
        std::lock_guard lock(impl::live_mutex);
        impl::live = nullptr;
        held = impl::console_end_held;
    }
    // A handler that holds the console's end keeps the console's lock on its handlers, which
    // removing ours would wait for for ever; the process is ending then in any case.
    if (!held) {
        SetConsoleCtrlHandler(impl::on_console_event, FALSE);
    }
    HWND window;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->ending = true;
        impl_->changed.notify_all();
        window = impl_->window;
    }
    if (window != nullptr) {
        PostMessageW(window, stop_message, 0, 0);
    }
    impl_->window_thread.join();
}

bool termination_signals::wait() {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait(lock, [this] { return impl_->by_system || impl_->by_request; });
    const bool from_system = impl_->by_system;
    impl_->by_system = false;
    impl_->by_request = false;
    return from_system;
}

void termination_signals::request() {
    impl_->wake(false);
}

}  // namespace platform
