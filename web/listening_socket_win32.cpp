#include "web/listening_socket.h"

#include <winsock2.h>

namespace web {

// The port is taken alone with SO_EXCLUSIVEADDRUSE, and without SO_REUSEADDR: on Windows that
// option means something else than on Linux, letting another program bind the same port and take
// our connections. The price: a new run right after an earlier one may find the port held until
// the earlier run's accepted connections have ended, which is better than another program
// answering in our place.
//
// There is no deferred accept: Windows has no TCP_DEFER_ACCEPT, and its conditional accept
// (SO_CONDITIONAL_ACCEPT) decides on the connect, before any request could arrive. A connection
// therefore goes to a worker as soon as it is accepted, which waits the keep-alive time-out for its
// first request, as the server did everywhere before the Linux option: a client that stalls longer
// than that between its connect and its request loses that connection, and an idle preconnection
// holds a worker until the time-out ends.
void set_listening_options(std::uintptr_t handle) {
    const auto sock = static_cast<SOCKET>(handle);
    BOOL yes = TRUE;
    setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
               sizeof yes);
}

}  // namespace web
