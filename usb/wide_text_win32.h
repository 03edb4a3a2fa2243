#pragma once

// Text at the Win32 boundary of the device link: the program's names are UTF-8, the wide Win32
// calls take and give UTF-16. Windows only.

#include <string>
#include <string_view>

namespace usb::wide_text {

std::wstring from_utf8(std::string_view utf8);
std::string to_utf8(std::wstring_view wide);

}  // namespace usb::wide_text
