#include "settings/module_link.h"

#include <chrono>

#include "usb/device.h"

namespace settings {

namespace {

using namespace std::chrono_literals;

// Longer than the editor's 100 ms: a backup is worth a short wait on a busy line.
constexpr std::chrono::milliseconds read_timeout = 500ms;
constexpr std::chrono::milliseconds set_timeout = 200ms;
constexpr std::chrono::microseconds query_poll = 1000us;

}  // namespace

std::optional<json> read_module(usb::device& device) {
    const auto reply = device.query("/get params all", read_timeout, query_poll);
    if (!reply) {
        return std::nullopt;
    }
    return parse_object(*reply);
}

bool send(usb::device& device, const plan& plan) {
    bool reached = false;
    for (const change& c : plan.changes) {
        for (const command& cmd : c.commands) {
            if (cmd.answered) {
                reached = device.query(cmd.text, set_timeout, query_poll).has_value() || reached;
            } else {
                reached = device.write(cmd.text) || reached;
            }
        }
    }
    return reached;
}

}  // namespace settings
