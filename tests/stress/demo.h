#pragma once

// korvaline-demo as the stress tests drive it: started headless with its simulated module, and
// the answers of its API judged as the pages would judge them.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"

namespace stress {

using namespace std::chrono_literals;

constexpr int demo_port = 5000;

// The sanitizer builds run every C++ test, these included: their storms are shorter, as the
// instrumented program is several times slower and the point there is the sanitizer's verdict.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

// A figure of the normal build, cut for sanitized builds; KORVALINE_STRESS_SCALE (a percentage)
// stretches or shrinks every figure, e.g. 300 for a longer soak by hand.
inline long scaled(long normal, long sanitized_value) {
    long value = sanitized ? sanitized_value : normal;
    if (const char* scale = std::getenv("KORVALINE_STRESS_SCALE")) {
        value = value * std::atol(scale) / 100;
    }
    return value < 1 ? 1 : value;
}

// One line of the command log as the demo writes it: "\n" and "\\" escaped.
inline std::string unescape(const std::string& line) {
    std::string out;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            ++i;
            out.push_back(line[i] == 'n' ? '\n' : line[i]);
        } else {
            out.push_back(line[i]);
        }
    }
    return out;
}

inline std::vector<std::string> read_command_log(const std::string& path) {
    std::vector<std::string> commands;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        commands.push_back(unescape(line));
    }
    return commands;
}

class demo {
  public:
    explicit demo(std::vector<std::string> env = {}) : env_(std::move(env)) { start(); }

    // Whether the demo serves. Port 5000 is locked for these tests within one test run, but
    // another program (a developer's demo, another tree's tests) may hold it for a moment: a demo
    // that found it taken is started again, for up to a minute.
    bool serving() {
        const auto end = std::chrono::steady_clock::now() + 60s;
        for (;;) {
            if (child_->wait_for_output("serving the Korvaline pages at http://127.0.0.1:5000/",
                                        60s)) {
                return true;
            }
            if (child_->output().find("Cannot listen") == std::string::npos ||
                std::chrono::steady_clock::now() >= end) {
                return false;
            }
            std::this_thread::sleep_for(2s);
            start();
        }
    }

    // Waits until the simulated module answers a settings query.
    bool module_answers(std::chrono::milliseconds limit = 20s) {
        auto client = make_client();
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            auto res = client.Get("/get_all");
            if (res && res->status == 200 && res->body != "{}") {
                return true;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    static httplib::Client make_client() {
        httplib::Client client("127.0.0.1", demo_port);
        client.set_keep_alive(true);
        client.set_connection_timeout(5, 0);
        client.set_read_timeout(30, 0);
        client.set_write_timeout(5, 0);
        return client;
    }

    test::child_process& process() { return *child_; }

    // Reads what the demo prints for a while. The demo logs every settings command: a pipe that
    // nobody reads fills up and stalls it, so the tests keep reading while they wait.
    void listen_for(std::chrono::milliseconds duration) {
        const auto end = std::chrono::steady_clock::now() + duration;
        do {
            child_->output();
            std::this_thread::sleep_for(10ms);
        } while (std::chrono::steady_clock::now() < end);
    }

    // Joins the threads while reading the demo's output.
    void join_listening(std::vector<std::thread>& threads, const std::atomic<int>& finished) {
        while (finished.load() < static_cast<int>(threads.size())) {
            listen_for(20ms);
        }
        for (auto& t : threads) {
            t.join();
        }
        threads.clear();
    }

  private:
    void start() {
        child_.reset();
        child_ = std::make_unique<test::child_process>(
            KORVALINE_DEMO_BIN, env_, std::vector<std::string>{"DISPLAY", "WAYLAND_DISPLAY"});
    }

    std::vector<std::string> env_;
    std::unique_ptr<test::child_process> child_;
};

// Whether an answer of the API is one the pages can use: status 200, JSON content type, and one of
// the bodies the route may give.
inline bool well_formed(const std::string& path, const httplib::Result& res) {
    if (!res || res->status != 200 || res->get_header_value("Content-Type") != "application/json") {
        return false;
    }
    const std::string& body = res->body;
    if (path.starts_with("/select/")) {
        return body.starts_with(R"({"type": "message", "message": "Selected instrument: )") &&
               body.ends_with("\"}");
    }
    if (path.starts_with("/set/")) {
        return body == R"({"type": "message", "message": "success"})" ||
               body == R"({"type": "error", "error": "Cannot set parameter value"})";
    }
    if (path == "/get_all") {
        // The module's reply, passed on unchecked; a late reply to an earlier query may lead it.
        return body == "{}" || body.ends_with("\n");
    }
    if (path == "/curve") {
        return body == R"({"type": "message", "message": "Successfully set curve."})";
    }
    if (path == "/save_params_all") {
        return body == R"({"type": "message", "message": "OK"})";
    }
    return true;
}

}  // namespace stress
