#include "tuning/routes.h"

#include <httplib.h>

#include <string>

#include "settings/module_link.h"
#include "tuning/kit_check.h"
#include "usb/device.h"
#include "web/body_limit.h"

namespace tuning {

namespace {

constexpr const char* json_type = "application/json";

// Spaced like the error answers of the other routes; the sentences need no escaping.
std::string error_text(const std::string& sentence) {
    return R"({"type": "error", "error": ")" + sentence + "\"}";
}

const std::string too_large_text = error_text("Too many hits for one check.");

}  // namespace

void register_routes(httplib::Server& server, usb::device& device) {
    server.Post("/kit_check", [&device](const httplib::Request& req, httplib::Response& res,
                                        const httplib::ContentReader& reader) {
        if (!http::declared_length_within(req, max_check_body)) {
            return http::answer_and_close(res, 413, too_large_text);
        }
        std::string body;
        bool too_large = false;
        const bool complete = reader([&](const char* data, std::size_t size) {
            too_large = body.size() + size > max_check_body;
            if (!too_large) {
                body.append(data, size);
            }
            return !too_large;
        });
        if (too_large) {
            return http::answer_and_close(res, 413, too_large_text);
        }
        const auto hits = complete ? parse_hits(body) : std::nullopt;
        if (!hits) {
            res.status = 400;
            return res.set_content(error_text("Not a list of hits."), json_type);
        }
        const auto settings = settings::read_module(device);
        if (!settings) {
            res.status = 503;
            return res.set_content(error_text("Module not connected."), json_type);
        }
        res.set_content(to_json(check(*hits, *settings)).dump(), json_type);
    });
}

}  // namespace tuning
