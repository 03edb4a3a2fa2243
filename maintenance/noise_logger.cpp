#include "maintenance/noise_logger.h"

#include <httplib.h>

#include <algorithm>
#include <system_error>

#include "usb/device.h"
#include "web/messaging.h"

namespace maintenance {

namespace {

using steady = std::chrono::steady_clock;

// The readings travel inside a JSON string as they came, only without their line ends.
std::string without_line_ends(std::string text) {
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
    return text;
}

// A reply that missed its query's time-out stays in the port and leads the next query's reply,
// which would glue two readings into one ("4\r\n25\r\n" read as 425). Only the last line
// answers this query. A reply always ends with a line feed.
std::string last_line(const std::string& reply) {
    const std::size_t before_end =
        reply.size() >= 2 ? reply.rfind('\n', reply.size() - 2) : std::string::npos;
    return before_end == std::string::npos ? reply : reply.substr(before_end + 1);
}

// A curve reply shorter than this (counted with its line end) holds no curve worth drawing.
constexpr std::size_t shortest_curve_reply = 6;

}  // namespace

noise_logger::noise_logger(httplib::Server& server, usb::device& device, async::messaging& events,
                           noise_logger_timing timing)
    : server_(server), device_(device), events_(events), timing_(timing) {}

noise_logger::~noise_logger() {
    stop();
}

void noise_logger::register_routes(httplib::Server& server) {
    server.Get("/start_noise_logger", [this](const httplib::Request&, httplib::Response& res) {
        start();
        res.set_content("{}", "application/json");
    });
    server.Get("/stop_noise_logger", [this](const httplib::Request&, httplib::Response& res) {
        stop();
        res.set_content("{}", "application/json");
    });
}

void noise_logger::start() {
    std::lock_guard control(control_);
    stop_locked();
    running_ = true;
    try {
        worker_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // Without a worker the logger is idle, whatever the failed request hoped for.
        running_ = false;
        throw;
    }
}

void noise_logger::stop() {
    std::lock_guard control(control_);
    stop_locked();
}

void noise_logger::stop_locked() {
    {
        // Under the wake mutex, so a worker about to wait cannot miss the notification.
        std::lock_guard wake(wake_mutex_);
        running_ = false;
    }
    wake_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
}

bool noise_logger::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(wake_mutex_);
    return !wake_.wait_for(lock, duration, [this] { return !running_.load(); });
}

void noise_logger::run() {
    while (running_) {
        const auto asked = steady::now();
        const auto level = device_.query("#", timing_.level_timeout, timing_.poll_interval);
        if (!level) {
            if (!running_) {
                return;
            }
            // A query that gives up well before its time-out found no port at all: wait a
            // little instead of spinning on the device lock until the module returns.
            if (steady::now() - asked < timing_.level_timeout / 2 && !pause(timing_.idle_pause)) {
                return;
            }
            continue;
        }
        events_.send(R"({"value": ")" + without_line_ends(last_line(*level)) + R"("})");

        if (!pause(timing_.cycle_sleep)) {
            return;
        }
        const auto reply = device_.query("@", timing_.curve_timeout, timing_.poll_interval);
        if (reply) {
            const std::string curve = last_line(*reply);
            if (curve.size() >= shortest_curve_reply) {
                events_.send(R"({"curve": ")" + without_line_ends(curve) + R"("})");
            }
        }
    }
}

}  // namespace maintenance
