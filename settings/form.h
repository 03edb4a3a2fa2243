#pragma once

#include <cstddef>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>

namespace httplib {
struct Request;
struct Response;
class ContentReader;
}  // namespace httplib

namespace settings {

// The largest form read; a larger one is refused with 413 before it is read whole.
inline constexpr std::size_t max_form_body = 1u << 20;

// The wanted fields of a multipart form (the first of each), read up to max_form_body.
struct form {
    std::map<std::string, std::string> fields;
    bool complete = false;   // the whole body was read and understood
    bool too_large = false;  // reading stopped at the limit

    // The field's value, or nothing when the form had no such field.
    const std::string* find(const std::string& name) const;
};

form read_form(const httplib::Request& req, const httplib::ContentReader& reader,
               std::initializer_list<std::string_view> wanted);

// The answers of the settings routes: JSON, errors as {"type": "error", "error": sentence}.
std::string error_text(const std::string& sentence);
void answer(httplib::Response& res, int status, const std::string& body);
void answer_error(httplib::Response& res, int status, const std::string& sentence);
// For a request whose body was not read to its end: the connection closes after the answer.
void answer_and_close(httplib::Response& res, int status, const std::string& sentence);
// 413 for a form over the limit, and the connection closed, as its rest was not read.
void answer_too_large(httplib::Response& res);

}  // namespace settings
