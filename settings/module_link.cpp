#include "settings/module_link.h"

#include <chrono>
#include <string_view>

#include "usb/device.h"

namespace settings {

namespace {

using namespace std::chrono_literals;

// Longer than the editor's 100 ms: a backup is worth a short wait on a busy line. A reply that
// still comes late (a busy computer) is asked for again, as the pages do: the device drops the
// late one before the next query, so the second answer is whole.
constexpr std::chrono::milliseconds read_timeout = 500ms;
constexpr int read_attempts = 3;
constexpr std::chrono::milliseconds set_timeout = 200ms;
constexpr std::chrono::microseconds query_poll = 1000us;

}  // namespace

std::optional<json> read_module(usb::device& device) {
    for (int attempt = 0; attempt < read_attempts && device.connected(); ++attempt) {
        const auto reply = device.query("/get params all", read_timeout, query_poll);
        if (!reply) {
            continue;
        }
        // The module's answer is the reply's last line: what leads it (an answer to a write-only
        // command, the rest of a late reply) is not the module's settings. A reply that holds no
        // settings at all is asked for again, like one that came too late.
        const std::string_view whole(*reply);
        const std::string_view text = whole.substr(0, whole.find_last_not_of("\r\n") + 1);
        if (auto settings = parse_object(text.substr(text.find_last_of('\n') + 1))) {
            return settings;
        }
    }
    return std::nullopt;
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
