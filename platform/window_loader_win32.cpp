#include <windows.h>

#include <shlobj.h>

#include <filesystem>
#include <memory>

#include "platform/default_browser.h"
#include "platform/edge_window.h"
#include "platform/wide_text.h"
#include "platform/window_loader.h"

namespace platform {

namespace {

using text::utf8;

// %LOCALAPPDATA%: the user's own folder for data that stays on this computer.
std::filesystem::path local_app_data() {
    wchar_t* found = nullptr;
    std::filesystem::path folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &found))) {
        folder = found;
    }
    CoTaskMemFree(found);
    return folder;
}

}  // namespace

window_choice open_window(bool headless) {
    if (headless) {
        return {nullptr, "Headless (--headless)"};
    }
    const std::string edge = registered_program("msedge.exe");
    std::error_code error;
    if (edge.empty() ||
        !std::filesystem::is_regular_file(
            std::filesystem::path(std::u8string(edge.begin(), edge.end())), error)) {
        return {std::make_unique<default_browser_window>("Microsoft Edge was not found"), ""};
    }
    // A profile of the window's own makes Edge a process of its own, apart from any Edge the
    // user has open, so that the program knows the window has closed when that process ends.
    const std::filesystem::path profile = local_app_data() / L"Korvaline" / L"window";
    return {std::make_unique<edge_window>(edge, utf8(profile)), ""};
}

}  // namespace platform
