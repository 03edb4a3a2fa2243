#include "usb/hardware_id.h"

#include <cstdio>

namespace usb {

namespace {

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool same_letters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i])) {
            return false;
        }
    }
    return true;
}

bool starts_with_letters(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && same_letters(text.substr(0, prefix.size()), prefix);
}

std::string hex_part(const char* tag, unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%s_%0*X", tag, digits, value);
    return text;
}

}  // namespace

bool hardware_id_matches(std::string_view id, std::uint16_t vendor, std::uint16_t product,
                         unsigned interface) {
    // The parts are separated by backslashes (bus, then the device's own part, then perhaps an
    // instance) and ampersands; each is compared whole, so that VID_0483 never matches VID_04830.
    const std::string want_vendor = hex_part("VID", vendor, 4);
    const std::string want_product = hex_part("PID", product, 4);
    const std::string want_interface = hex_part("MI", interface, 2);
    bool vendor_seen = false, product_seen = false;
    while (!id.empty()) {
        const std::size_t end = id.find_first_of("\\&");
        const std::string_view part = id.substr(0, end);
        id = end == std::string_view::npos ? std::string_view() : id.substr(end + 1);
        if (starts_with_letters(part, "MI_") && !same_letters(part, want_interface)) {
            return false;
        }
        vendor_seen = vendor_seen || same_letters(part, want_vendor);
        product_seen = product_seen || same_letters(part, want_product);
    }
    return vendor_seen && product_seen;
}

std::vector<std::string> split_multi_string(std::string_view data) {
    std::vector<std::string> strings;
    while (!data.empty() && data.front() != '\0') {
        const std::size_t end = data.find('\0');
        strings.emplace_back(data.substr(0, end));
        data = end == std::string_view::npos ? std::string_view() : data.substr(end + 1);
    }
    return strings;
}

bool is_com_port_name(std::string_view name) {
    // Windows numbers its ports up to a few thousand at most.
    if (!starts_with_letters(name, "COM") || name.size() < 4 || name.size() > 7 || name[3] == '0') {
        return false;
    }
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace usb
