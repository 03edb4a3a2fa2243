#pragma once

#include <cstddef>
#include <string>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace http {

// Whether the request's declared Content-Length is a plain decimal number no larger than limit.
// A request without the header passes: its body is then counted while it is read.
bool declared_length_within(const httplib::Request& req, std::size_t limit);

// Answers a request whose body was not read to its end. The connection closes after the answer,
// or the unread rest of the body would be taken for the next request: a content provider that
// reports failure after writing the whole answer makes the server close it.
void answer_and_close(httplib::Response& res, int status, std::string body);

}  // namespace http
