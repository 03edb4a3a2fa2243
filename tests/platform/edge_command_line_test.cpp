// The command line that starts Edge's app window, as CommandLineToArgvW must read it back.
#include "platform/edge_command_line.h"

#include <gtest/gtest.h>

namespace {

using platform::edge::quote_argument;

TEST(edge_command_line, starts_the_app_window_with_its_own_profile_and_no_questions) {
    const platform::edge::app_window window{
        R"(C:\Program Files (x86)\Microsoft\Edge\Application\msedge.exe)",
        "http://127.0.0.1:5000/?window=app", R"(C:\Users\Ann Smith\AppData\Local\Korvaline\window)",
        1280, 720};
    EXPECT_EQ(platform::edge::command_line(window),
              LR"("C:\Program Files (x86)\Microsoft\Edge\Application\msedge.exe")"
              LR"( --app=http://127.0.0.1:5000/?window=app --window-size=1280,720)"
              LR"( "--user-data-dir=C:\Users\Ann Smith\AppData\Local\Korvaline\window")"
              LR"( --no-first-run --no-default-browser-check)");
}

TEST(edge_command_line, quotes_only_what_needs_it_and_escapes_as_the_reader_expects) {
    EXPECT_EQ(quote_argument(R"(C:\plain\path)"), LR"(C:\plain\path)");
    EXPECT_EQ(quote_argument(R"(trailing\)"), LR"(trailing\)");
    EXPECT_EQ(quote_argument(""), LR"("")");
    EXPECT_EQ(quote_argument("tab\there"), L"\"tab\there\"");
    EXPECT_EQ(quote_argument("line\nbreak"), L"\"line\nbreak\"");
    // Backslashes stay single inside quotes unless a quote follows them.
    EXPECT_EQ(quote_argument(R"(C:\My Dir\sub)"), LR"("C:\My Dir\sub")");
    EXPECT_EQ(quote_argument(R"(C:\My Dir\)"), LR"("C:\My Dir\\")");
    EXPECT_EQ(quote_argument(R"(say "hi")"), LR"("say \"hi\"")");
    EXPECT_EQ(quote_argument(R"(a\\"b)"), LR"("a\\\\\"b")");
    EXPECT_EQ(quote_argument(R"(no"space)"), LR"("no\"space")");
}

TEST(edge_command_line, reads_utf8_into_utf16_and_replaces_what_is_not_utf8) {
    EXPECT_EQ(quote_argument("C:\\Users\\J\xC3\xBCrgen"), L"C:\\Users\\J\u00FCrgen");
    EXPECT_EQ(quote_argument("\xE2\x82\xAC"), L"\u20AC");
    // The first and last of each length, and the shortest forms too long.
    const std::wstring bounds{0x80, 0x7FF, 0x800, 0xFFFF};
    EXPECT_EQ(quote_argument("\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"), bounds);
    EXPECT_EQ(quote_argument("\xE0\x9F\xBF\xF0\x8F\xBF\xBF"),
              std::wstring(7, static_cast<wchar_t>(0xFFFD)));
    // Beyond the first plane: a surrogate pair, whatever the width of wchar_t.
    const std::wstring pair{static_cast<wchar_t>(0xD83E), static_cast<wchar_t>(0xDD41)};
    EXPECT_EQ(quote_argument("\xF0\x9F\xA5\x81"), pair);
    const std::wstring first{static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0xDC00)};
    EXPECT_EQ(quote_argument("\xF0\x90\x80\x80"), first);
    const std::wstring last{static_cast<wchar_t>(0xDBFF), static_cast<wchar_t>(0xDFFF)};
    EXPECT_EQ(quote_argument("\xF4\x8F\xBF\xBF"), last);
    const std::wstring two_replacements(2, static_cast<wchar_t>(0xFFFD));
    EXPECT_EQ(quote_argument("\xFF\xFE"), two_replacements);  // no lead bytes
    EXPECT_EQ(quote_argument("\xC0\xAF"), two_replacements);  // overlong "/"
    // Surrogates are no characters of their own.
    EXPECT_EQ(quote_argument("\xED\xA0\x80"), std::wstring(3, static_cast<wchar_t>(0xFFFD)));
    EXPECT_EQ(quote_argument("\xED\xBF\xBF"), std::wstring(3, static_cast<wchar_t>(0xFFFD)));
    EXPECT_EQ(quote_argument("a\xE2\x82"), L"a" + two_replacements);  // cut short
    EXPECT_EQ(quote_argument("\xE2\x82z"), L"\uFFFD\uFFFDz");
    EXPECT_EQ(quote_argument("\xF4\x90\x80\x80"), std::wstring(4, static_cast<wchar_t>(0xFFFD)));
}

TEST(edge_command_line, the_app_window_address_carries_its_mark) {
    using platform::edge::app_window_url;
    EXPECT_EQ(app_window_url("http://127.0.0.1:5000"), "http://127.0.0.1:5000/?window=app");
    EXPECT_EQ(app_window_url("http://127.0.0.1:5000/"), "http://127.0.0.1:5000/?window=app");
    EXPECT_EQ(app_window_url("http://127.0.0.1:5000/hits.html?pad=snare#top"),
              "http://127.0.0.1:5000/hits.html?pad=snare&window=app#top");
    EXPECT_EQ(app_window_url("http://127.0.0.1:5000#top?not-a-query"),
              "http://127.0.0.1:5000/?window=app#top?not-a-query");
}

TEST(edge_command_line, a_file_address_is_ascii_with_forward_slashes) {
    EXPECT_EQ(platform::edge::file_url("C:\\AZaz09\\J\xC3\xBCrgen M\\a-b_c.~@#%[.html"),
              "file:///C:/AZaz09/J%C3%BCrgen%20M/a-b_c.~%40%23%25%5B.html");
}

}  // namespace
