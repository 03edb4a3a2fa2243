#include "web/router.h"

#include <httplib.h>

#include <chrono>
#include <iostream>
#include <limits>
#include <string>
#include <utility>

#include "usb/device.h"

namespace routing {

namespace {

using namespace std::chrono_literals;

constexpr const char* json_type = "application/json";
constexpr std::chrono::milliseconds query_timeout = 100ms;
constexpr std::chrono::microseconds query_poll = 1000us;

const std::string wrong_argument = R"({"type": "error", "error": "wrong argument"})";
const std::string selected_prefix = R"({"type": "message", "message": "Selected instrument: )";
const std::string set_success = R"({"type": "message", "message": "success"})";
const std::string set_failure = R"({"type": "error", "error": "Cannot set parameter value"})";
const std::string curve_done = R"({"type": "message", "message": "Successfully set curve."})";
const std::string saved = R"({"type": "message", "message": "OK"})";
const std::string no_parameters = "{}";

// One line on standard output, written in one piece so that lines of concurrent requests do not
// interleave.
void log_line(const std::string& line) {
    std::cout << line + "\n" << std::flush;
}

}  // namespace

std::optional<std::int32_t> parse_instrument(std::string_view text) {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) {
        ++i;
    }
    if (i >= text.size() || text[i] < '0' || text[i] > '9') {
        return std::nullopt;
    }
    // Accumulate the magnitude in 64 bits and give up as soon as it leaves the 32-bit range.
    const std::int64_t limit =
        negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                 : std::numeric_limits<std::int32_t>::max();
    std::int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > limit) {
            return std::nullopt;
        }
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

void router::notify(const std::function<void()>& callback, bool reached) const {
    if (reached && callback) {
        callback();
    }
}

router::router(httplib::Server& server, usb::device& device, observer observer)
    : server_(server), device_(device), observer_(std::move(observer)) {
    // The server library has no named path parameters: each parameter is one path segment.
    server_.Get(R"(/select/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
        const auto instrument = parse_instrument(req.matches[1].str());
        if (!instrument) {
            res.set_content(wrong_argument, json_type);
            return;
        }
        const std::string number = std::to_string(*instrument);
        if (device_.write("$" + number) && observer_.selected) {
            observer_.selected(*instrument);
        }
        res.set_content(selected_prefix + number + "\"}", json_type);
    });

    server_.Get(R"(/set/([^/]+)/([^/]+)/([^/]+))", [this](const httplib::Request& req,
                                                          httplib::Response& res) {
        const std::string command = "/set " + req.matches[1].str() + " " + req.matches[2].str() +
                                    " " + req.matches[3].str();
        log_line("cmd = '" + command + "'");
        const auto reply = device_.query(command, query_timeout, query_poll);
        log_line("cmd: " + command + " ==> msg: '" + reply.value_or("<empty>") + "'");
        // A reply that came too late still means the module got the command, and most likely
        // took it: the unsaved marker errs on the side of saving.
        notify(observer_.changed, reply.has_value() || device_.connected());
        if (reply && observer_.value_set) {
            observer_.value_set(req.matches[1].str(), req.matches[2].str(), req.matches[3].str());
        }
        res.set_content(reply ? set_success : set_failure, json_type);
    });

    server_.Post("/curve", [this](const httplib::Request& req, httplib::Response& res) {
        // A request without the field sends the bare prefix, as the module expects nothing else.
        const std::string content = req.has_file("file") ? req.get_file_value("file").content : "";
        notify(observer_.changed, device_.write("/set curve snare " + content));
        res.set_content(curve_done, json_type);
    });

    server_.Get("/get_all", [this](const httplib::Request&, httplib::Response& res) {
        auto reply = device_.query("/get params all", query_timeout, query_poll);
        // A module that has turned slow misses the first time-out; asked once more, the link
        // awaits the late answer, learns how slow the module is, and gives the query that long.
        if (!reply && device_.connected()) {
            reply = device_.query("/get params all", query_timeout, query_poll);
        }
        res.set_content(reply ? *reply : no_parameters, json_type);
    });

    server_.Get("/save_params_all", [this](const httplib::Request&, httplib::Response& res) {
        notify(observer_.saved, device_.write("/save params all"));
        res.set_content(saved, json_type);
    });
}

}  // namespace routing
