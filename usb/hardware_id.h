#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace usb {

// Whether a Windows hardware id (such as "USB\VID_0483&PID_5740&REV_0200&MI_00") names this
// vendor and product, and this interface where the id names an interface at all (a device with
// one interface has no MI_ part). Letter case does not matter.
bool hardware_id_matches(std::string_view id, std::uint16_t vendor, std::uint16_t product,
                         unsigned interface = 0);

// The strings of a registry multi-string: each ends with a NUL, and an empty string (or the end of
// the data) ends the list.
std::vector<std::string> split_multi_string(std::string_view data);

// Whether a name is a COM port's name as Windows gives them: "COM" and a number from 1 to 9999,
// without leading zeros ("COM3", "COM12"). Letter case does not matter.
bool is_com_port_name(std::string_view name);

}  // namespace usb
