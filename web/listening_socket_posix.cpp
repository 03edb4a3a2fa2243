#include "web/listening_socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace web {

void set_listening_options(std::uintptr_t handle) {
    const int sock = static_cast<int>(handle);
    // SO_REUSEADDR so that an earlier run's closed connections (TIME_WAIT) do not hold the port;
    // without the library's SO_REUSEPORT it lets no second listener share the port.
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    int defer_seconds = 30;
    setsockopt(sock, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer_seconds, sizeof defer_seconds);
}

}  // namespace web
