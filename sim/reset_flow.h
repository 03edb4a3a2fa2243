#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/bootloader.h"
#include "sim/module.h"

namespace sim {

// What happens on the bus when the module is told "/reset": it leaves the bus, its bootloader
// appears a moment later, and once the bootloader has been told to finish (or has waited in vain)
// it leaves again and the module returns with its settings.
class reset_flow {
  public:
    struct timing {
        // From "/reset" to the bootloader's appearance; well inside the 2 s the transfer waits.
        std::chrono::milliseconds bootloader_delay{1000};
        // From the closing command to the module's return.
        std::chrono::milliseconds return_delay{500};
        // A bootloader that is never told to finish gives up after this long, as a real one
        // returns to the firmware it has.
        std::chrono::milliseconds give_up{30000};
    };

    // Installs the module's reset handler and the bootloader's finish handler; the destructor
    // removes both.
    reset_flow(module& module, bootloader& bootloader);
    reset_flow(module& module, bootloader& bootloader, timing timing);
    ~reset_flow();
    reset_flow(const reset_flow&) = delete;
    reset_flow& operator=(const reset_flow&) = delete;

  private:
    using clock = std::chrono::steady_clock;
    struct action {
        clock::time_point when;
        std::uint64_t round;
        std::function<void()> run;
    };

    void schedule(clock::duration delay, std::uint64_t round, std::function<void()> run);
    void reset();
    void finished();
    void return_module(std::uint64_t round);
    void serve();

    module& module_;
    bootloader& bootloader_;
    timing timing_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<action> actions_;
    std::uint64_t round_ = 0;
    bool in_bootloader_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace sim
