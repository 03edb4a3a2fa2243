#pragma once

#include <cstddef>

namespace bench {

// A bare HTTP server of the same library, pool size and loopback address as the program, with
// nothing of the program in it: "/" answers a tiny page, "/noop" the two bytes {} and
// "/assets/js/konva.min.js" a buffer of asset_bytes. Unlike the library's default (and the
// program, unless it changes that), it sends with TCP_NODELAY. Its start-up time and static
// throughput are the floor the program is compared with. Runs until SIGTERM or SIGINT; returns the
// exit status.
int run_reference_server(int port, std::size_t asset_bytes);

}  // namespace bench
