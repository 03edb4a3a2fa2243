#pragma once

// A firmware transfer's link to the module and its event stream, recording what the transfer sends
// (read them once it has ended: there is no lock), and a pacing of milliseconds instead of seconds.

#include <vector>

#include "maintenance/transfer.h"

namespace test {

using namespace std::chrono_literals;

struct recorder {
    // Runs when "/reset" is written; its result is what the write returns.
    explicit recorder(std::function<bool()> on_reset) : reset(std::move(on_reset)) {}
    std::function<bool()> reset;
    std::vector<std::string> events, commands;
    firmware::link link() {
        return {[this](const std::string& command) {
                    commands.push_back(command);
                    return command != "/reset" || reset();
                },
                [this](std::string text) { events.push_back(std::move(text)); }};
    }
};

inline constexpr firmware::pacing fast_pacing{
    1ms, {.retry_pause = 1ms, .report_pause = 0ms, .ack_timeout = 300ms}};

}  // namespace test
