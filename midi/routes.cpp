#include "midi/routes.h"

#include <httplib.h>

#include "midi/listener.h"
#include "settings/backup.h"

namespace midi {

namespace {

constexpr const char* json_type = "application/json";

std::string error_text(const std::string& sentence) {
    return settings::json{{"type", "error"}, {"error", sentence}}.dump();
}

// The id of a urlencoded or a multipart form.
std::optional<std::string> form_id(const httplib::Request& req) {
    if (req.has_param("id")) {
        return req.get_param_value("id");
    }
    if (req.has_file("id")) {
        return req.get_file_value("id").content;
    }
    return std::nullopt;
}

}  // namespace

void register_routes(httplib::Server& server, listener& input) {
    server.Get("/midi/ports", [&input](const httplib::Request&, httplib::Response& res) {
        settings::json list = settings::json::array();
        for (const port& p : input.ports()) {
            list.push_back({{"id", p.id}, {"name", p.name}, {"api", p.api}});
        }
        res.set_content(list.dump(), json_type);
    });

    server.Get("/midi/state", [&input](const httplib::Request&, httplib::Response& res) {
        res.set_content(listener::state_text(input.current()), json_type);
    });

    server.Post("/midi/port", [&input](const httplib::Request& req, httplib::Response& res) {
        const auto id = form_id(req);
        if (!id) {
            res.status = 400;
            res.set_content(error_text("The request names no MIDI input (form field \"id\")."),
                            json_type);
            return;
        }
        if (!input.choose(*id == "none" ? std::nullopt : id)) {
            res.status = 404;
            res.set_content(error_text("No MIDI input has this id; list them again."), json_type);
            return;
        }
        res.set_content(listener::state_text(input.current()), json_type);
    });
}

}  // namespace midi
