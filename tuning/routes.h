#pragma once

#include <cstddef>

namespace httplib {
class Server;
}
namespace usb {
class device;
}

namespace tuning {

// The largest kit check request read: two minutes of hits from the busiest kit fit with room to
// spare; a larger one is refused with 413 before it is read whole.
inline constexpr std::size_t max_check_body = 2u << 20;

// Registers POST /kit_check: the hits of one round in, the findings and their proposals out,
// judged against the settings the module holds now. It changes nothing on the module; the page
// applies the proposals the drummer accepts through the restore.
void register_routes(httplib::Server& server, usb::device& device);

}  // namespace tuning
