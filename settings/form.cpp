#include "settings/form.h"

#include <httplib.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "web/body_limit.h"

namespace settings {

namespace {

// Counted against the body limit for every part, so that many empty parts are bounded too.
constexpr std::size_t part_overhead = 512;

// Whether the body is as long as a form without parts: its closing boundary alone, as a browser
// sends an empty FormData. The HTTP library refuses such a body for want of an opening boundary,
// yet no part fits into that length, so a refused body of it holds a form with no fields.
bool sized_as_empty_form(const httplib::Request& req) {
    const std::string type = req.get_header_value("Content-Type");
    const auto at = type.find("boundary=");
    if (at == std::string::npos || !req.has_header("Content-Length")) {
        return false;
    }
    std::string boundary = type.substr(at + 9);
    if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"') {
        boundary = boundary.substr(1, boundary.size() - 2);
    }
    // "--" boundary "--" CRLF
    return req.get_header_value("Content-Length") == std::to_string(boundary.size() + 6);
}

}  // namespace

const std::string* form::find(const std::string& name) const {
    const auto found = fields.find(name);
    return found == fields.end() ? nullptr : &found->second;
}

form read_form(const httplib::Request& req, const httplib::ContentReader& reader,
               std::initializer_list<std::string_view> wanted) {
    form out;
    std::size_t total = 0;
    std::string* current = nullptr;
    const auto within = [&](std::size_t size) {
        total += size;
        out.too_large = total > max_form_body;
        return !out.too_large;
    };
    if (!http::declared_length_within(req, max_form_body)) {
        out.too_large = true;
        return out;
    }
    if (req.is_multipart_form_data()) {
        bool any_part = false;
        out.complete = reader(
            [&](const httplib::MultipartFormData& part) {
                any_part = true;
                const bool keep =
                    std::find(wanted.begin(), wanted.end(), part.name) != wanted.end() &&
                    !out.fields.contains(part.name);
                current = keep ? &out.fields[part.name] : nullptr;
                return within(part_overhead);
            },
            [&](const char* data, std::size_t size) {
                if (!within(size)) {
                    return false;
                }
                if (current != nullptr) {
                    current->append(data, size);
                }
                return true;
            });
        if (!out.complete && !any_part && !out.too_large) {
            out.complete = sized_as_empty_form(req);
        }
    } else {
        // Not a form: read (within the limit) only so that the connection stays usable.
        out.complete = reader([&](const char*, std::size_t size) { return within(size); });
        out.fields.clear();
    }
    return out;
}

std::string error_text(const std::string& sentence) {
    // Spaced like the error answers of the editor's routes.
    return "{\"type\": \"error\", \"error\": " +
           nlohmann::json(sentence).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
           "}";
}

void answer(httplib::Response& res, int status, const std::string& body) {
    res.status = status;
    res.set_content(body, "application/json");
}

void answer_error(httplib::Response& res, int status, const std::string& sentence) {
    answer(res, status, error_text(sentence));
}

void answer_and_close(httplib::Response& res, int status, const std::string& sentence) {
    http::answer_and_close(res, status, error_text(sentence));
}

void answer_too_large(httplib::Response& res) {
    answer_and_close(res, 413, "The file is larger than 1 MiB.");
}

}  // namespace settings
