// The requests to end the Windows program: the hidden window's messages (taskkill's close, the
// session's end) and the console's Ctrl+C, as they reach the waiter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/termination.h"

namespace {

using testing::Each;
using testing::IsEmpty;

// The top-level windows of this process that taskkill and the system find, but for those of the
// test's own thread (which the system may give an input method's window once it sends messages):
// the hidden window, and any the system adds to its thread.
std::vector<HWND> own_windows() {
    std::vector<HWND> found;
    EnumWindows(
        [](HWND window, LPARAM list) -> BOOL {
            DWORD owner = 0;
            const DWORD thread = GetWindowThreadProcessId(window, &owner);
            if (owner == GetCurrentProcessId() && thread != GetCurrentThreadId()) {
                reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// What the system or taskkill sends to a program: the same message to each of its windows.
std::vector<LRESULT> send_to_own_windows(UINT message, WPARAM wparam, LPARAM lparam) {
    std::vector<LRESULT> answers;
    for (const HWND window : own_windows()) {
        answers.push_back(SendMessageW(window, message, wparam, lparam));
    }
    return answers;
}

// The hidden window among them, by its title.
HWND hidden_window() {
    for (const HWND window : own_windows()) {
        wchar_t title[32] = L"";
        GetWindowTextW(window, title, 32);
        if (std::wstring(title) == L"Korvaline") {
            return window;
        }
    }
    return nullptr;
}

// Under Wine the hidden window needs a display driver: the prefix's null driver, or a display.
constexpr const char* no_window = "no hidden window: no window station (see scripts/wine-run)";

TEST(termination, taskkills_close_ends_the_wait_and_leaves_the_window) {
    platform::termination_signals signals;
    const HWND hidden = hidden_window();
    ASSERT_NE(hidden, nullptr) << no_window;
    // Arrived before the wait, as during start-up: not lost.
    for (const HWND window : own_windows()) {
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    EXPECT_TRUE(signals.wait());
    SendMessageW(hidden, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(hidden)) << "closed by the message";
    EXPECT_TRUE(signals.wait());
}

TEST(termination, a_request_ends_the_wait_as_no_signal_and_the_window_goes_with_the_object) {
    {
        platform::termination_signals signals;
        ASSERT_NE(hidden_window(), nullptr) << no_window;
        // A session's end that another program may still veto ends nothing.
        EXPECT_THAT(send_to_own_windows(WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), Each(TRUE));
        send_to_own_windows(WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
        signals.request();
        EXPECT_FALSE(signals.wait());
    }
    EXPECT_THAT(own_windows(), IsEmpty());
}

TEST(termination, the_sessions_end_is_held_until_the_orderly_shutdown_is_over) {
    std::atomic<bool> answered{false};
    std::thread system;
    {
        platform::termination_signals signals;
        ASSERT_NE(hidden_window(), nullptr) << no_window;
        system = std::thread([&answered] {
            send_to_own_windows(WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
            answered = true;
        });
        EXPECT_TRUE(signals.wait());
        EXPECT_FALSE(answered) << "the session's end went on before the shutdown was over";
    }
    system.join();
    EXPECT_TRUE(answered);
}

}  // namespace
