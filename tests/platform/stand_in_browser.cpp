// Stands in for msedge.exe in the Edge window's tests, as far as the window can see a browser: it
// reads its command line as Edge does (CommandLineToArgvW), shows a window, and keeps what it was
// given and what happened to it in its profile folder (--user-data-dir): arguments.txt (the
// arguments, one a line, written once its window shows) and events.txt. How it behaves comes from
// KORVALINE_STAND_IN: "quit" ends at once, as when the user closes the window; "close" ends on
// WM_CLOSE; "stay" ignores it.
#include <windows.h>

#include <shellapi.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::filesystem::path profile;
bool stays = false;

void note(const char* event) {
    std::ofstream(profile / L"events.txt", std::ios::app | std::ios::binary) << event << "\n";
}

LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CLOSE) {
        note(stays ? "WM_CLOSE ignored" : "WM_CLOSE");
        if (!stays) {
            PostQuitMessage(0);
        }
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int main() {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const std::wstring profile_switch = L"--user-data-dir=";
    for (int i = 1; i < count; ++i) {
        if (std::wstring(arguments[i]).starts_with(profile_switch)) {
            profile = std::wstring(arguments[i]).substr(profile_switch.size());
        }
    }
    std::filesystem::create_directories(profile);
    const char* mode = std::getenv("KORVALINE_STAND_IN");
    stays = mode != nullptr && std::string(mode) == "stay";

    WNDCLASSW type{};
    type.lpfnWndProc = procedure;
    type.hInstance = GetModuleHandleW(nullptr);
    type.lpszClassName = L"StandInBrowser";
    RegisterClassW(&type);
    const HWND window = CreateWindowExW(0, type.lpszClassName, L"Stand-in", WS_OVERLAPPEDWINDOW, 0,
                                        0, 640, 480, nullptr, nullptr, type.hInstance, nullptr);
    if (window == nullptr) {
        return 3;  // no window station: under Wine, a prefix without a display driver
    }
    ShowWindow(window, SW_SHOWNORMAL);

    // Written whole under another name first, so that the test never reads half of it.
    {
        std::ofstream out(profile / L"arguments.part", std::ios::binary);
        for (int i = 0; i < count; ++i) {
            const std::u8string line = std::filesystem::path(arguments[i]).u8string();
            out << std::string(line.begin(), line.end()) << "\n";
        }
    }
    std::filesystem::rename(profile / L"arguments.part", profile / L"arguments.txt");
    if (mode != nullptr && std::string(mode) == "quit") {
        return 0;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}
