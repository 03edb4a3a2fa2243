#include "settings/routes.h"

#include <httplib.h>

#include <map>
#include <optional>
#include <string>

#include "settings/backup.h"
#include "settings/module_link.h"
#include "settings/plan.h"
#include "settings/store.h"
#include "settings/unsaved.h"
#include "usb/device.h"
#include "web/body_limit.h"

namespace settings {

namespace {

constexpr const char* json_type = "application/json";
// Counted against the body limit for every part, so that many empty parts are bounded too.
constexpr std::size_t part_overhead = 512;

// Spaced like the error answers of the editor's routes; the sentences need no escaping.
std::string error_text(const std::string& sentence) {
    return R"({"type": "error", "error": ")" + sentence + "\"}";
}

void answer(httplib::Response& res, int status, const std::string& body) {
    res.status = status;
    res.set_content(body, json_type);
}

void not_connected(httplib::Response& res) {
    answer(res, 503, error_text("Module not connected."));
}

void not_settings(httplib::Response& res) {
    answer(res, 400, error_text("Not a Korvaline settings file."));
}

void too_large(httplib::Response& res) {
    http::answer_and_close(res, 413, error_text("The file is larger than 1 MiB."));
}

const char* problem_text(usb::open_problem problem) {
    switch (problem) {
        case usb::open_problem::permission:
            return "permission";
        case usb::open_problem::busy:
            return "busy";
        default:
            return nullptr;
    }
}

// The form fields of a restore request ("file", "name", "apply"; the first of each), read up to
// the body limit. Nothing when the body is larger or could not be read.
std::optional<std::map<std::string, std::string>> read_fields(
    const httplib::Request& req, const httplib::ContentReader& reader) {
    std::size_t total = 0;
    std::map<std::string, std::string> fields;
    std::string* current = nullptr;
    bool read = false;
    if (req.is_multipart_form_data()) {
        read = reader(
            [&](const httplib::MultipartFormData& part) {
                total += part_overhead;
                const bool wanted =
                    (part.name == "file" || part.name == "name" || part.name == "apply") &&
                    !fields.contains(part.name);
                current = wanted ? &fields[part.name] : nullptr;
                return total <= max_restore_body;
            },
            [&](const char* data, std::size_t size) {
                total += size;
                if (current != nullptr && total <= max_restore_body) {
                    current->append(data, size);
                }
                return total <= max_restore_body;
            });
    } else {
        read = reader([&](const char*, std::size_t size) {
            total += size;
            return total <= max_restore_body;
        });
    }
    if (!read || total > max_restore_body) {
        return std::nullopt;
    }
    return fields;
}

json listed(const std::vector<change>& changes) {
    json out = json::array();
    for (const change& c : changes) {
        out.push_back(to_json(c));
    }
    return out;
}

}  // namespace

void routes::register_routes(httplib::Server& server) {
    server.Get("/state", [this](const httplib::Request&, httplib::Response& res) {
        const char* problem = problem_text(device_.problem());
        const json state = {{"connected", device_.connected()},
                            {"unsaved", unsaved_.value()},
                            {"problem", problem ? json(problem) : json(nullptr)}};
        answer(res, 200, state.dump());
    });

    server.Get("/backup", [this](const httplib::Request&, httplib::Response& res) {
        const auto settings = read_module(device_);
        if (!settings) {
            return not_connected(res);
        }
        const auto now = wall_clock::now();
        res.set_header("Content-Disposition",
                       "attachment; filename=\"" + download_name(now) + "\"");
        answer(res, 200, wrap(*settings, now));
    });

    server.Post("/restore", [this](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& reader) {
        if (!http::declared_length_within(req, max_restore_body)) {
            return too_large(res);
        }
        const auto fields = read_fields(req, reader);
        if (!fields) {
            return too_large(res);
        }
        std::optional<std::string> text;
        if (const auto name = fields->find("name"); name != fields->end()) {
            text = store_.read(name->second);
            if (!text) {
                return answer(res, 404, error_text("No stored copy has this name."));
            }
        } else if (const auto file = fields->find("file"); file != fields->end()) {
            text = file->second;
        }
        const auto wanted = text ? unwrap(*text) : std::nullopt;
        if (!wanted) {
            return not_settings(res);
        }
        const auto apply = fields->find("apply");
        std::lock_guard lock(restoring_);
        const auto current = read_module(device_);
        if (!current) {
            return not_connected(res);
        }
        const plan plan = make_plan(*wanted, *current);
        if (apply == fields->end() || apply->second != "1") {
            json skipped = json::array();
            for (const skip& s : plan.skipped) {
                skipped.push_back(to_json(s));
            }
            return answer(res, 200,
                          json{{"changes", listed(plan.changes)}, {"skipped", skipped}}.dump());
        }
        if (send(device_, plan)) {
            unsaved_.mark(true);
        }
        // Judged by what the module reports afterwards, not by its answers to the commands.
        const auto after = read_module(device_);
        std::vector<change> applied;
        std::vector<change> failed;
        for (const change& c : plan.changes) {
            (after && holds(*after, c) ? applied : failed).push_back(c);
        }
        answer(res, 200, json{{"applied", listed(applied)}, {"failed", listed(failed)}}.dump());
    });

    server.Get("/backups", [this](const httplib::Request&, httplib::Response& res) {
        json list = json::array();
        for (const store::entry& e : store_.list()) {
            list.push_back({{"name", e.name}, {"created", e.created}, {"bytes", e.bytes}});
        }
        answer(res, 200, list.dump());
    });

    server.Get(R"(/backups/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string name = req.matches[1].str();
        const auto content = store_.read(name);
        if (!content) {
            return answer(res, 404, error_text("No stored copy has this name."));
        }
        res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
        answer(res, 200, *content);
    });
}

}  // namespace settings
