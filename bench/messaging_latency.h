#pragma once

#include <vector>

namespace bench {

// Publishes texts with async::messaging::send on an in-process server on the given port, and
// returns, per text, the milliseconds until its frame arrived at a raw-socket "/event" client.
// Each text is sent only once the previous one has arrived, so no text waits behind another.
std::vector<double> messaging_latency_ms(int port, int samples);

}  // namespace bench
