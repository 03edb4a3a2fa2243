#include "settings/kit_routes.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>

#include "settings/current_kit.h"
#include "settings/form.h"
#include "settings/kits.h"
#include "settings/module_link.h"
#include "settings/plan.h"

namespace settings {

namespace {

const std::string no_such_kit = "No kit has this name.";
const std::string kit_exists = "A kit with this name exists.";

// Browsers send the line breaks of a form's text as CRLF; the notes keep plain line feeds.
std::string plain_lines(std::string text) {
    std::erase(text, '\r');
    return text;
}

void not_connected(httplib::Response& res) {
    answer_error(res, 503, "Module not connected.");
}

// The answer to a change of the library: 200 with the kit's name, or why not.
void answer_outcome(httplib::Response& res, kits::outcome outcome, const std::string& name) {
    switch (outcome) {
        case kits::outcome::done:
            return answer(
                res, 200,
                json{{"name", name}}.dump(-1, ' ', false, json::error_handler_t::replace));
        case kits::outcome::exists:
            return answer_error(res, 409, kit_exists);
        case kits::outcome::missing:
            return answer_error(res, 404, no_such_kit);
        case kits::outcome::failed:
            break;
    }
    answer_error(res, 500, "The kit could not be written to the kits folder.");
}

// The form of a request, or false once the request has been answered for its refusal.
bool read(const httplib::Request& req, const httplib::ContentReader& reader, httplib::Response& res,
          std::initializer_list<std::string_view> wanted, form& out) {
    out = read_form(req, reader, wanted);
    if (out.too_large) {
        answer_too_large(res);
        return false;
    }
    if (!out.complete) {
        answer_and_close(res, 400, "The form could not be read.");
        return false;
    }
    return true;
}

}  // namespace

void kit_routes::register_routes(httplib::Server& server) {
    server.Get("/kit", [this](const httplib::Request&, httplib::Response& res) {
        const auto state = current_.check(current_.known() ? read_module(device_) : std::nullopt);
        answer(res, 200,
               json{{"name", state.name ? json(*state.name) : json(nullptr)},
                    {"changed", state.changed}}
                   .dump(-1, ' ', false, json::error_handler_t::replace));
    });

    server.Get("/kits", [this](const httplib::Request&, httplib::Response& res) {
        const auto list = library_.list();
        const auto module = list.empty() ? std::nullopt : read_module(device_);
        json out = json::array();
        for (const kits::kit& k : list) {
            json item = {{"name", k.name},
                         {"notes", k.notes},
                         {"created", k.created},
                         {"differences", nullptr},
                         {"skipped", nullptr}};
            if (module) {
                const plan p = make_plan(k.settings, *module);
                item["differences"] = p.changes.size();
                item["skipped"] = p.skipped.size();
            }
            out.push_back(std::move(item));
        }
        answer(res, 200, out.dump(-1, ' ', false, json::error_handler_t::replace));
    });

    server.Post("/kits", [this](const httplib::Request& req, httplib::Response& res,
                                const httplib::ContentReader& reader) {
        form f;
        if (!read(req, reader, res, {"name", "notes", "replace"}, f)) {
            return;
        }
        const std::string name = f.find("name") ? *f.find("name") : std::string();
        const std::string notes = f.find("notes") ? plain_lines(*f.find("notes")) : std::string();
        for (const std::string& problem : {kits::name_problem(name), kits::notes_problem(notes)}) {
            if (!problem.empty()) {
                return answer_error(res, 400, problem);
            }
        }
        const bool replace = f.find("replace") && *f.find("replace") == "1";
        if (!replace && library_.find(name)) {
            return answer_error(res, 409, kit_exists);
        }
        const auto module = read_module(device_);
        if (!module) {
            return not_connected(res);
        }
        const auto outcome = library_.save(name, notes, *module, replace, wall_clock::now());
        if (outcome == kits::outcome::done) {
            current_.held(name, *module);
        }
        answer_outcome(res, outcome, name);
    });

    server.Post("/kits/import", [this](const httplib::Request& req, httplib::Response& res,
                                       const httplib::ContentReader& reader) {
        form f;
        if (!read(req, reader, res, {"file", "name", "notes", "replace"}, f)) {
            return;
        }
        auto imported = f.find("file") ? kits::parse(*f.find("file")) : std::nullopt;
        if (!imported) {
            return answer_error(res, 400, "Not a Korvaline settings file.");
        }
        // The form's name and notes, when given, stand before the file's own.
        if (const std::string* name = f.find("name"); name && !name->empty()) {
            imported->name = *name;
        }
        if (const std::string* notes = f.find("notes"); notes && !notes->empty()) {
            imported->notes = plain_lines(*notes);
        }
        if (imported->name.empty()) {
            return answer_error(res, 400, "The file holds no kit name: give the kit a name.");
        }
        for (const std::string& problem :
             {kits::name_problem(imported->name), kits::notes_problem(imported->notes)}) {
            if (!problem.empty()) {
                return answer_error(res, 400, problem);
            }
        }
        const bool replace = f.find("replace") && *f.find("replace") == "1";
        const auto outcome = library_.save(imported->name, imported->notes, imported->settings,
                                           replace, wall_clock::now());
        answer_outcome(res, outcome, imported->name);
    });

    server.Get(R"(/kits/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string name = req.matches[1].str();
        const auto found = library_.find(name);
        const auto text = found ? library_.text(name) : std::nullopt;
        if (!text) {
            return answer_error(res, 404, no_such_kit);
        }
        // A file someone else put in the folder is served without its name rather than quoted
        // unsafely.
        const bool plain = std::all_of(found->file.begin(), found->file.end(), [](unsigned char c) {
            return std::isalnum(c) || c == '-' || c == '_' || c == '.';
        });
        res.set_header(
            "Content-Disposition",
            plain ? "attachment; filename=\"korvaline-kit-" + found->file + "\"" : "attachment");
        answer(res, 200, *text);
    });

    server.Post(R"(/kits/(.+)/rename)", [this](const httplib::Request& req, httplib::Response& res,
                                               const httplib::ContentReader& reader) {
        form f;
        if (!read(req, reader, res, {"name"}, f)) {
            return;
        }
        const std::string from = req.matches[1].str();
        const std::string to = f.find("name") ? *f.find("name") : std::string();
        if (!library_.find(from)) {
            return answer_error(res, 404, no_such_kit);
        }
        if (const std::string problem = kits::name_problem(to); !problem.empty()) {
            return answer_error(res, 400, problem);
        }
        const auto outcome = library_.rename(from, to);
        if (outcome == kits::outcome::done) {
            current_.renamed(from, to);
        }
        answer_outcome(res, outcome, to);
    });

    server.Post(R"(/kits/(.+)/notes)", [this](const httplib::Request& req, httplib::Response& res,
                                              const httplib::ContentReader& reader) {
        form f;
        if (!read(req, reader, res, {"notes"}, f)) {
            return;
        }
        const std::string name = req.matches[1].str();
        if (!library_.find(name)) {
            return answer_error(res, 404, no_such_kit);
        }
        // Empty notes clear them; a form without the field is a mistake, not a wish to clear.
        if (!f.find("notes")) {
            return answer_error(res, 400, "The form has no field \"notes\".");
        }
        const std::string notes = plain_lines(*f.find("notes"));
        if (const std::string problem = kits::notes_problem(notes); !problem.empty()) {
            return answer_error(res, 400, problem);
        }
        answer_outcome(res, library_.set_notes(name, notes), name);
    });

    server.Post(R"(/kits/(.+)/delete)", [this](const httplib::Request& req, httplib::Response& res,
                                               const httplib::ContentReader& reader) {
        form f;
        if (!read(req, reader, res, {}, f)) {
            return;
        }
        const std::string name = req.matches[1].str();
        const auto outcome = library_.remove(name);
        if (outcome == kits::outcome::done) {
            current_.removed(name);
        }
        answer_outcome(res, outcome, name);
    });
}

}  // namespace settings
