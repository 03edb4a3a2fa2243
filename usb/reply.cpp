#include "usb/reply.h"

#include <string>

namespace usb {

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// A decimal number as the module prints readings: an optional sign, digits, an optional fraction.
bool is_number(std::string_view text) {
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        text.remove_prefix(1);
    }
    bool digits = false;
    bool point = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            digits = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digits;
}

// "[1,2,3]": numbers between brackets, separated by commas (blanks allowed), possibly none.
bool is_number_array(std::string_view text) {
    if (text.size() < 2 || text.front() != '[' || text.back() != ']') {
        return false;
    }
    text = trimmed(text.substr(1, text.size() - 2));
    if (text.empty()) {
        return true;
    }
    for (;;) {
        const std::size_t comma = text.find(',');
        if (!is_number(trimmed(text.substr(0, comma)))) {
            return false;
        }
        if (comma == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(comma + 1);
    }
}

// Braces that open and close the line, with strings skipped and nesting balanced: the shape of one
// JSON object. The settings' contents are the pages' to read; the link only has to tell the
// settings from a reading or an acknowledgement.
bool is_object(std::string_view text) {
    if (text.size() < 2 || text.front() != '{' || text.back() != '}') {
        return false;
    }
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (--depth < 0) {
                return false;
            }
            if (depth == 0 && i + 1 != text.size()) {
                return false;  // "{...}{...}": two objects glued together
            }
        }
    }
    return depth == 0 && !in_string;
}

}  // namespace

reply_kind expected_reply(std::string_view command) {
    if (command == "/get params all") {
        return reply_kind::settings;
    }
    if (command == "#") {
        return reply_kind::level;
    }
    if (command == "@") {
        return reply_kind::trace;
    }
    if (command.starts_with("/set ")) {
        return reply_kind::setting;
    }
    return reply_kind::any;
}

bool reply_fits(reply_kind kind, std::string_view line) {
    const std::string_view text = trimmed(line);
    switch (kind) {
        case reply_kind::settings:
            return is_object(text);
        case reply_kind::level: {
            std::string joined;
            for (const char c : text) {
                if (c != '\r') {
                    joined += c;
                }
            }
            return is_number(joined);
        }
        case reply_kind::trace:
            return is_number_array(text);
        case reply_kind::setting:
            return !is_object(text) && !(text.starts_with('[') && text.ends_with(']')) &&
                   !reply_fits(reply_kind::level, text);
        case reply_kind::any:
            return true;
    }
    return true;
}

}  // namespace usb
