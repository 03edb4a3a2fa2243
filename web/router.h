#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace httplib {
class Server;
}
namespace usb {
class device;
}

namespace routing {

// The instrument number of a select request: an optional minus sign and decimal digits from the
// first character, ending at the first byte that is no digit. Nothing when no digit follows the
// sign or the number does not fit in 32 bits.
std::optional<std::int32_t> parse_instrument(std::string_view text);

// The parameter API of the pages: each route turns one request into one module command and
// answers with a small JSON text.
class router {
  public:
    // Who wants to know that the module's settings changed or were stored: called after a set
    // the module answered, a curve and a save that reached the module, and with the pad number
    // of a selection that reached it; value_set with the sensor, parameter and value of a set the
    // module answered. Any may be empty.
    struct observer {
        std::function<void()> changed;
        std::function<void()> saved;
        std::function<void(std::int32_t)> selected;
        std::function<void(const std::string&, const std::string&, const std::string&)> value_set;
    };

    // Registers, in this order: GET /select/<n>, GET /set/<sensor>/<param>/<value>, POST /curve,
    // GET /get_all, GET /save_params_all.
    router(httplib::Server& server, usb::device& device, observer observer = {});

  private:
    void notify(const std::function<void()>& callback, bool reached) const;

    httplib::Server& server_;
    usb::device& device_;
    observer observer_;
};

}  // namespace routing
