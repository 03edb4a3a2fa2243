#include "web/request_guard.h"

#include <httplib.h>

namespace web {

request_guard::request_guard(int port) : port_(std::to_string(port)) {}

bool request_guard::is_own_host(const std::string& host) const {
    return host == "127.0.0.1:" + port_ || host == "localhost:" + port_;
}

bool request_guard::is_own_origin(const std::string& origin) const {
    return origin == "http://127.0.0.1:" + port_ || origin == "http://localhost:" + port_;
}

std::string request_guard::refusal(const httplib::Request& req) const {
    if (req.get_header_value_count("Host") != 1 || !is_own_host(req.get_header_value("Host"))) {
        return "Unknown host.";
    }
    if (req.has_header("Origin") && (req.get_header_value_count("Origin") != 1 ||
                                     !is_own_origin(req.get_header_value("Origin")))) {
        return "Cross-origin request refused.";
    }
    const std::string site = req.get_header_value("Sec-Fetch-Site");
    if (site == "cross-site" || site == "same-site") {
        return "Cross-site request refused.";
    }
    return {};
}

void request_guard::install(httplib::Server& server) const {
    server.set_pre_routing_handler(
        [guard = *this](const httplib::Request& req, httplib::Response& res) {
            std::string why = guard.refusal(req);
            if (why.empty()) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            res.status = 403;
            res.set_content(R"({"type": "error", "error": ")" + why + R"("})", "application/json");
            return httplib::Server::HandlerResponse::Handled;
        });
}

}  // namespace web
