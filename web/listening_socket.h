#pragma once

namespace web {

// The options of the server's listening socket, set by the HTTP library's socket-options hook.
//
// The library binds with SO_REUSEPORT, which would let a second copy of the program share the port
// and answer for us: the port is taken alone, with SO_REUSEADDR so that an earlier run's closed
// connections (TIME_WAIT) do not hold it.
//
// A connection is handed to a worker only once its request has begun to arrive (up to 30 s after
// the connect). The library's worker gives a new connection the keep-alive time-out, one second,
// for its first request: a client that stalled that long between its connect and its request, or a
// worker that stalled before it looked, lost the request without an answer, which no browser sends
// again on a new connection. It also keeps a browser's idle preconnection from holding a worker.
void set_listening_options(int sock);

}  // namespace web
