#pragma once

#include <string>

namespace httplib {
class Server;
struct Request;
}  // namespace httplib

namespace web {

// Keeps other web sites away from the module. Any page in the user's browser can send GET and form
// POST requests to 127.0.0.1, and DNS rebinding can make a foreign site look same-origin, so every
// request must name this server as its Host, and a request that a browser marks as coming from
// another site is refused before it reaches a route.
class request_guard {
  public:
    explicit request_guard(int port);

    // Empty when the request may pass; otherwise the reason, for the 403 answer.
    std::string refusal(const httplib::Request& req) const;

    // Installs the guard as the server's pre-routing handler.
    void install(httplib::Server& server) const;

  private:
    bool is_own_host(const std::string& host) const;
    bool is_own_origin(const std::string& origin) const;

    std::string port_;
};

}  // namespace web
