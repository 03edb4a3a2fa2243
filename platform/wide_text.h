#pragma once

#include <filesystem>
#include <string>

// UTF-8 names of the program and the UTF-16 of the Win32 calls, converted by the standard
// library's paths (which on Windows hold UTF-16 and know UTF-8 as u8string), for the Windows
// files of this folder.
namespace platform::text {

inline std::wstring wide(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())).wstring();
}

inline std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace platform::text
