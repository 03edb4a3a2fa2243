#pragma once

// A module link as the program builds it, for the route tests: the simulated module on its bus,
// the real usb::device over it and an HTTP server on a test port of its own.

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "sim/bus.h"
#include "sim/module.h"
#include "tests/support/test_server.h"
#include "usb/device.h"

namespace test {

using namespace std::chrono_literals;

inline usb::device_timing quick_device() {
    usb::device_timing timing;
    timing.poll_interval = 20ms;
    timing.connect_delay = 20ms;
    return timing;
}

class rig {
  public:
    rig(int port, sim::module_options options)
        : port_(port), module(options), device(bus, 0x0483, 0x5740, quick_device()) {
        device.install_callbacks(
            [this] {
                std::lock_guard lock(mutex_);
                ++connects_;
                changed_.notify_all();
            },
            [this] {
                std::lock_guard lock(mutex_);
                ++disconnects_;
                changed_.notify_all();
            });
    }
    ~rig() { stop_server(); }

    // Starts serving once the test has registered its routes.
    void serve() { running_.emplace(server, port_); }
    void stop_server() { running_.reset(); }

    bool wait_connects(int count, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return connects_ >= count; });
    }
    bool wait_disconnects(int count, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return disconnects_ >= count; });
    }

    httplib::Client client() {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(30, 0);
        return c;
    }

  private:
    int port_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int connects_ = 0;
    int disconnects_ = 0;
    std::optional<test::running_server> running_;

  public:
    sim::module module;
    sim::bus bus{module};
    usb::device device;
    httplib::Server server;
};

}  // namespace test
