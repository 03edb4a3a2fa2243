// The select route's instrument-number parser against std::from_chars, which reads exactly the
// accepted form: an optional minus, digits up to the first other byte, refused past 32 bits.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "web/router.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = routing::parse_instrument(text);

    std::int32_t expected = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), expected);
    const bool expected_ok = error == std::errc{};
    if (parsed.has_value() != expected_ok || (expected_ok && *parsed != expected)) {
        std::abort();
    }
    if (parsed) {
        // The command carries the number printed back: it must read as the same number, so the
        // module is told exactly the instrument the page named.
        const std::string printed = std::to_string(*parsed);
        if (routing::parse_instrument(printed) != parsed) {
            std::abort();
        }
    }
    return 0;
}
