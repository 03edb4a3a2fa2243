#include "settings/routes.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <string>

#include "settings/backup.h"
#include "settings/current_kit.h"
#include "settings/form.h"
#include "settings/kits.h"
#include "settings/module_link.h"
#include "settings/plan.h"
#include "settings/store.h"
#include "settings/unsaved.h"
#include "usb/device.h"

namespace settings {

namespace {

void not_connected(httplib::Response& res) {
    answer_error(res, 503, "Module not connected.");
}

const std::string not_settings_sentence = "Not a Korvaline settings file.";

void not_settings(httplib::Response& res) {
    answer_error(res, 400, not_settings_sentence);
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

json change_list(const std::vector<change>& changes) {
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
        const auto slow = device_.slow();
        const json state = {{"connected", device_.connected()},
                            {"unsaved", unsaved_.value()},
                            {"held", unsaved_.held()},
                            {"problem", problem ? json(problem) : json(nullptr)},
                            {"slow_ms", slow ? json(slow->count()) : json(nullptr)}};
        answer(res, 200, state.dump());
    });

    server.Get("/backup", [this](const httplib::Request&, httplib::Response& res) {
        const auto settings = read_module(device_);
        if (!settings && !device_.connected()) {
            return not_connected(res);
        }
        if (!settings) {
            return answer(res, 503, error_text("The module did not answer: no backup was made."));
        }
        const auto now = wall_clock::now();
        res.set_header("Content-Disposition",
                       "attachment; filename=\"" + download_name(now) + "\"");
        answer(res, 200, wrap(*settings, now));
    });

    server.Post("/restore", [this](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& reader) {
        const auto body = read_form(req, reader, {"file", "name", "kit", "apply"});
        if (body.too_large) {
            return answer_too_large(res);
        }
        if (!body.complete) {
            return answer_and_close(res, 400, not_settings_sentence);
        }
        const auto& fields = body.fields;
        std::optional<std::string> text;
        const std::string* kit = body.find("kit");
        if (const auto name = fields.find("name"); name != fields.end()) {
            text = store_.read(name->second);
            if (!text) {
                return answer_error(res, 404, "No stored copy has this name.");
            }
        } else if (kit != nullptr) {
            text = library_ ? library_->text(*kit) : std::nullopt;
            if (!text) {
                return answer_error(res, 404, "No kit has this name.");
            }
        } else if (const auto file = fields.find("file"); file != fields.end()) {
            text = file->second;
        }
        const auto wanted = text ? unwrap(*text) : std::nullopt;
        if (!wanted) {
            return not_settings(res);
        }
        const auto apply = fields.find("apply");
        std::lock_guard lock(restoring_);
        const auto current = read_module(device_);
        if (!current) {
            return not_connected(res);
        }
        const plan plan = make_plan(*wanted, *current);
        if (apply == fields.end() || apply->second != "1") {
            json skipped = json::array();
            for (const skip& s : plan.skipped) {
                skipped.push_back(to_json(s));
            }
            return answer(
                res, 200,
                json{{"changes", change_list(plan.changes)}, {"skipped", skipped}}.dump());
        }
        if (send(device_, plan)) {
            unsaved_.mark(true);
        }
        if (applied_) {
            applied_();
        }
        // A curve goes to the selected pad: the restore selected others for theirs, and an open
        // editor's next curve must still reach the pad it shows.
        const bool selected_others =
            std::any_of(plan.changes.begin(), plan.changes.end(),
                        [](const change& c) { return c.kind == value_kind::curve; });
        if (const std::int64_t pad = editor_pad_; selected_others && pad != no_pad) {
            device_.write("$" + std::to_string(pad));
        }
        // Judged by what the module reports afterwards, not by its answers to the commands.
        const auto after = read_module(device_);
        std::vector<change> applied;
        std::vector<change> failed;
        for (const change& c : plan.changes) {
            (after && holds(*after, c) ? applied : failed).push_back(c);
        }
        // The module holds the kit now, as far as it took it; any other restore changed values.
        if (current_ != nullptr && kit != nullptr && after) {
            current_->held(*kit, *after);
        }
        if (current_ != nullptr && (kit == nullptr || !failed.empty()) && !plan.changes.empty()) {
            current_->touched();
        }
        answer(res, 200,
               json{{"applied", change_list(applied)}, {"failed", change_list(failed)}}.dump());
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
            return answer_error(res, 404, "No stored copy has this name.");
        }
        // A name someone else put in the folder is served without it rather than quoted unsafely.
        const bool plain = std::all_of(name.begin(), name.end(), [](unsigned char c) {
            return std::isalnum(c) || c == '-' || c == '_' || c == '.';
        });
        res.set_header("Content-Disposition",
                       plain ? "attachment; filename=\"" + name + "\"" : "attachment");
        answer(res, 200, *content);
    });
}

}  // namespace settings
