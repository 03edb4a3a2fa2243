#include "sim/reset_flow.h"

#include <algorithm>

namespace sim {

reset_flow::reset_flow(module& module, bootloader& bootloader)
    : reset_flow(module, bootloader, timing{}) {}

reset_flow::reset_flow(module& module, bootloader& bootloader, timing timing)
    : module_(module), bootloader_(bootloader), timing_(timing) {
    worker_ = std::thread([this] { serve(); });
    bootloader_.on_finished([this] { finished(); });
    module_.on_reset([this] { reset(); });
}

reset_flow::~reset_flow() {
    module_.on_reset({});
    bootloader_.on_finished({});
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void reset_flow::schedule(clock::duration delay, std::uint64_t round, std::function<void()> run) {
    actions_.push_back({clock::now() + delay, round, std::move(run)});
    wake_.notify_all();
}

// Runs on the module's thread, which may unplug the module but not plug it: everything after the
// unplug happens on the flow's own thread.
void reset_flow::reset() {
    module_.unplug();
    std::lock_guard lock(mutex_);
    const std::uint64_t round = ++round_;
    in_bootloader_ = true;
    schedule(timing_.bootloader_delay, round, [this] { bootloader_.attach(); });
    schedule(timing_.give_up, round, [this, round] { return_module(round); });
}

// Runs on the transfer's thread, right after the closing command was acknowledged.
void reset_flow::finished() {
    std::lock_guard lock(mutex_);
    const std::uint64_t round = round_;
    schedule(timing_.return_delay, round, [this, round] { return_module(round); });
}

void reset_flow::return_module(std::uint64_t round) {
    {
        std::lock_guard lock(mutex_);
        if (round != round_ || !in_bootloader_) {
            return;
        }
        in_bootloader_ = false;
    }
    bootloader_.detach();
    module_.plug();
}

void reset_flow::serve() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (actions_.empty()) {
            wake_.wait(lock);
            continue;
        }
        auto next =
            std::min_element(actions_.begin(), actions_.end(),
                             [](const action& a, const action& b) { return a.when < b.when; });
        if (clock::now() < next->when) {
            wake_.wait_until(lock, next->when);
            continue;
        }
        action due = std::move(*next);
        actions_.erase(next);
        lock.unlock();
        due.run();
        lock.lock();
    }
}

}  // namespace sim
