#include "web/body_limit.h"

#include <httplib.h>

#include <utility>

namespace http {

bool declared_length_within(const httplib::Request& req, std::size_t limit) {
    if (!req.has_header("Content-Length")) {
        return true;
    }
    const std::string declared = req.get_header_value("Content-Length");
    if (declared.empty() || declared.size() > 12) {
        return false;
    }
    std::size_t length = 0;
    for (const char c : declared) {
        if (c < '0' || c > '9') {
            return false;
        }
        length = length * 10 + static_cast<std::size_t>(c - '0');
    }
    return length <= limit;
}

void answer_and_close(httplib::Response& res, int status, std::string body) {
    res.status = status;
    res.set_header("Connection", "close");
    res.set_chunked_content_provider(
        "application/json", [body = std::move(body)](std::size_t, httplib::DataSink& sink) {
            sink.write(body.data(), body.size());
            sink.done();
            return false;
        });
}

}  // namespace http
