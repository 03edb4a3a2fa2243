#pragma once

#include <cstdint>

namespace web {

// The options of the server's listening socket, set by the HTTP library's socket-options hook.
//
// The socket is the library's own type, an int descriptor on Linux and a SOCKET handle on Windows;
// both fit, unchanged, in an unsigned integer as wide as a pointer, so this one signature serves
// the hook of either system.
//
// The library binds with SO_REUSEPORT on Linux, which would let a second copy of the program share
// the port and answer for us: the port is taken alone on both systems (how differs by system; see
// each file).
//
// On Linux a connection is handed to a worker only once its request has begun to arrive (up to
// 30 s after the connect). The library's worker gives a new connection the keep-alive time-out,
// one second, for its first request: a client that stalled that long between its connect and its
// request, or a worker that stalled before it looked, lost the request without an answer, which no
// browser sends again on a new connection. It also keeps a browser's idle preconnection from
// holding a worker. Windows has no such option (see listening_socket_win32.cpp).
void set_listening_options(std::uintptr_t sock);

}  // namespace web
