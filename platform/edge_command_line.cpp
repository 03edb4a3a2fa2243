#include "platform/edge_command_line.h"

#include <cstdint>
#include <string_view>

namespace platform::edge {

namespace {

constexpr char32_t replacement = 0xFFFD;

// The code point that starts at `at`, and how many bytes it took; malformed input (a stray or
// missing continuation byte, an overlong form, a surrogate, a value past U+10FFFF) gives U+FFFD
// for its first byte alone, so that the next byte starts afresh.
char32_t decode(std::string_view text, std::size_t at, std::size_t& length) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[at + i]); };
    const std::uint8_t lead = byte(0);
    length = 1;
    std::size_t extra = 0;
    char32_t value = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        value = lead & 0x1F;
        least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        value = lead & 0x0F;
        least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        value = lead & 0x07;
        least = 0x10000;
    } else {
        return replacement;
    }
    if (at + extra >= text.size()) {
        return replacement;  // cut short at the end
    }
    for (std::size_t i = 1; i <= extra; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return replacement;
        }
        value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return replacement;
    }
    length = extra + 1;
    return value;
}

std::wstring utf16(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = 1;
        const char32_t value = decode(text, at, length);
        at += length;
        if (value >= 0x10000) {
            out.push_back(static_cast<wchar_t>(0xD800 + ((value - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + ((value - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(value));
        }
    }
    return out;
}

}  // namespace

std::wstring quote_argument(const std::string& argument) {
    const std::wstring text = utf16(argument);
    if (!text.empty() && text.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return text;
    }
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t unit : text) {
        if (unit == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them: then each one is doubled, and the
        // quote itself escaped by one more.
        out.append(unit == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        out.push_back(unit);
        backslashes = 0;
    }
    // Before the closing quote every backslash counts double.
    out.append(2 * backslashes, L'\\');
    out.push_back(L'"');
    return out;
}

std::wstring command_line(const app_window& window) {
    // The program's name is read up to the next quote, without escapes; a Windows path holds no
    // quotes.
    std::wstring line = L"\"" + utf16(window.browser) + L"\"";
    for (const std::string& argument :
         {"--app=" + window.url,
          "--window-size=" + std::to_string(window.width) + "," + std::to_string(window.height),
          "--user-data-dir=" + window.profile_folder, std::string("--no-first-run"),
          std::string("--no-default-browser-check")}) {
        line += L" " + quote_argument(argument);
    }
    return line;
}

std::string app_window_url(const std::string& url) {
    const std::size_t authority = url.find("://");
    const std::size_t path =
        url.find_first_of("/?#", authority == std::string::npos ? 0 : authority + 3);
    std::string out = url;
    if (path == std::string::npos || out[path] != '/') {
        out.insert(path == std::string::npos ? out.size() : path, "/");
    }
    const std::size_t fragment = out.find('#');
    const std::size_t end = fragment == std::string::npos ? out.size() : fragment;
    const std::size_t query = out.find('?');
    out.insert(end, query != std::string::npos && query < end ? "&window=app" : "?window=app");
    return out;
}

std::string file_url(const std::string& windows_path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "file:///";
    for (const char c : windows_path) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += '/';
        } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   std::string_view("-._~/:").find(c) != std::string_view::npos) {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        }
    }
    return out;
}

}  // namespace platform::edge
