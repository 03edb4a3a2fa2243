#pragma once

// The simulated module on its bus, the real usb::device over it, opened, a server and a client.

#include <httplib.h>

#include <algorithm>
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
    // Waits until the module has answered a settings read, which it does only after every command
    // sent before it. On a loaded machine a read can miss its 100 ms and answer "{}": read again.
    void caught_up() {
        eventually(
            [this] {
                const auto res = client.Get("/get_all");
                return res && res->status == 200 && res->body != "{}";
            },
            20s);
    }
    // Whether the module got settings reads and nothing else since its commands were cleared; a
    // read that missed its time-out on a loaded machine is asked again.
    bool only_reads() {
        const auto sent = module.commands();
        return !sent.empty() && std::all_of(sent.begin(), sent.end(),
                                            [](const auto& c) { return c == "/get params all"; });
    }

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
