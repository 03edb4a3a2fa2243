#pragma once

// The simulated module on its bus, the real usb::device over it, opened, a server and a client.

#include <httplib.h>

#include <memory>
#include <thread>

#include "sim/bus.h"
#include "sim/module.h"
#include "tests/support/test_server.h"
#include "usb/device.h"

namespace test {

struct module_rig {
    explicit module_rig(int port, sim::module_options options = {.reply_delay = 1ms})
        : port(port), module(options), client("127.0.0.1", port) {
        device.install_callbacks([] {}, [] {});  // the device opens no port before it has them
        client.set_read_timeout(30s);
        eventually([this] { return device.connected(); });
    }
    void serve() { running = std::make_unique<running_server>(server, port); }

    const int port;
    sim::module module;
    sim::bus bus{module};
    usb::device device{bus, 0x0483, 0x5740, {.poll_interval = 20ms, .connect_delay = 20ms}};
    httplib::Server server;
    httplib::Client client;
    // Reset it before the routes go; it goes first of the rig's own.
    std::unique_ptr<running_server> running;
};

}  // namespace test
