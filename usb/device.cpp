#include "usb/device.h"

#include <condition_variable>
#include <exception>
#include <iostream>

namespace usb {

namespace {

using clock = std::chrono::steady_clock;

void report(const std::string& message) {
    std::cout << "Serial port error: " << message << "\n" << std::flush;
}

}  // namespace

struct device::state {
    state(usb::bus& b, std::uint16_t v, std::uint16_t p, device_timing t)
        : bus(b), vendor(v), product(p), timing(t) {}

    usb::bus& bus;
    const std::uint16_t vendor;
    const std::uint16_t product;
    const device_timing timing;

    // The device lock: guards the port, the callbacks and every exchange on the port.
    std::mutex mutex;
    std::function<void()> on_connect;
    std::function<void()> on_disconnect;
    std::unique_ptr<SerialPort> port;
    // A query gave up before its reply was complete: the rest of that reply may still arrive and
    // must not lead the next reply. Begun: part of it had arrived, so its rest up to the line feed
    // is certain to follow from a module that still works.
    bool reply_pending = false;
    bool pending_begun = false;

    // What connected() and problem() answer, kept apart from the device lock so that asking never
    // waits for an exchange. Written by the monitor thread only.
    std::atomic<bool> port_open{false};
    std::atomic<open_problem> problem{open_problem::none};

    // Touched only by the monitor thread (and by the destructor once it has ended).
    std::optional<found_device> recorded;
    // The recorded module has not been announced yet: it was found while no callbacks were
    // installed, so its port is still to be opened and on_connect still to be called.
    bool announce_pending = false;
    // The last search failure that was reported, so that a lasting failure is logged once.
    std::string last_search_error;

    // Stopping: the destructor clears running and wakes the monitor from its sleeps.
    std::atomic<bool> running{true};
    std::mutex wake_mutex;
    std::condition_variable wake;

    // Last, so that everything above exists before the monitor starts.
    std::thread monitor_thread;

    // Sleeps for the given time or until the device is being destroyed; false in the latter case.
    bool sleep_for(std::chrono::milliseconds duration) {
        std::unique_lock lock(wake_mutex);
        return !wake.wait_for(lock, duration, [this] { return !running.load(); });
    }
};

device::device(bus& bus, std::uint16_t vendor, std::uint16_t product, device_timing timing)
    : state_(std::make_unique<state>(bus, vendor, product, timing)) {
    state_->monitor_thread = std::thread([this] { monitor(); });
}

device::~device() {
    {
        // Taken so that the monitor cannot miss the wake-up between its test and its wait.
        std::lock_guard lock(state_->wake_mutex);
        state_->running.store(false);
    }
    state_->wake.notify_all();
    if (state_->monitor_thread.joinable()) {
        state_->monitor_thread.join();
    }
    // The monitor has ended: nothing else touches the port now.
    if (state_->port) {
        state_->port->close();
    }
}

void device::install_callbacks(std::function<void()> on_connect,
                               std::function<void()> on_disconnect) {
    std::lock_guard lock(state_->mutex);
    state_->on_connect = std::move(on_connect);
    state_->on_disconnect = std::move(on_disconnect);
}

void device::monitor() {
    state& s = *state_;
    while (s.running.load()) {
        std::optional<found_device> found;
        bool searched = true;
        try {
            found = s.bus.find_device(s.vendor, s.product);
            s.last_search_error.clear();
        } catch (const std::exception& error) {
            // A failed search tells nothing about the module: keep the current state and try
            // again at the next poll. A lasting failure is reported once.
            searched = false;
            if (s.last_search_error != error.what()) {
                s.last_search_error = error.what();
                report(s.last_search_error);
            }
        }

        // A module replugged between two polls is another device: the recorded one and its port
        // are gone, so it leaves first and the new one is announced like any other.
        const bool replaced = searched && s.recorded && found && found->id != s.recorded->id;
        if (searched && s.recorded && (!found || replaced)) {
            s.recorded.reset();
            std::lock_guard lock(s.mutex);
            if (s.port) {
                s.port->close();
                s.port.reset();
            }
            s.port_open.store(false);
            s.problem.store(open_problem::none);
            // Only a module that was announced is announced as gone.
            if (!s.announce_pending && s.on_disconnect) {
                s.on_disconnect();
            }
            s.announce_pending = false;
        }
        if (searched && !s.recorded && found) {
            s.recorded = std::move(found);
            s.announce_pending = true;
        }

        if (s.recorded && s.announce_pending) {
            std::lock_guard lock(s.mutex);
            // Without callbacks the module stays recorded and unannounced; the first poll after
            // their installation opens its port and announces it, once.
            if (s.on_connect) {
                if (s.port) {
                    s.port->close();
                    s.port.reset();
                }
                // The module's firmware needs a moment after enumeration before its port answers.
                if (!s.sleep_for(s.timing.connect_delay)) {
                    return;  // being destroyed: no port, no callback
                }
                open_port(true);
                s.announce_pending = false;
                s.on_connect();
            }
        }

        s.sleep_for(s.timing.poll_interval);
    }
}

void device::open_port(bool force) {
    state& s = *state_;
    if (s.port && !force) {
        return;
    }
    try {
        std::string name = s.bus.serial_port_name(s.recorded.value());
        if (s.port) {
            s.port->close();
        }
        s.port = std::make_unique<SerialPort>(name, s.timing.serial);
        // What the old port owed can never come through the new one.
        s.reply_pending = false;
        s.pending_begun = false;
        s.port->open();
        // Only the causes a user can repair are kept; any other failure names no problem.
        const open_problem why = s.port->problem();
        s.problem.store(why == open_problem::other ? open_problem::none : why);
        s.port_open.store(s.port->isOpen());
    } catch (const std::exception& error) {
        report(error.what());
        s.port.reset();
        s.port_open.store(false);
        s.problem.store(open_problem::none);
    }
}

bool device::connected() const {
    return state_->port_open.load();
}

open_problem device::problem() const {
    return state_->problem.load();
}

bool device::write(const std::string& command) {
    std::lock_guard lock(state_->mutex);
    if (!state_->port) {
        return false;
    }
    state_->port->write(command);
    return true;
}

std::optional<std::string> device::query(const std::string& command,
                                         std::chrono::milliseconds timeout,
                                         std::chrono::microseconds poll_interval) {
    std::lock_guard lock(state_->mutex);
    SerialPort* port = state_->port.get();
    if (port == nullptr) {
        return std::nullopt;
    }
    if (state_->reply_pending) {
        // Only what a query that timed out left behind is dropped: a reply that came late would
        // otherwise lead this one, and every reply after it would be one behind. A reply that has
        // begun is awaited up to its line feed for as long as this query's time-out, since a busy
        // computer can pause the module's packets for longer than a burst gap; past that its rest
        // is taken as lost, so that a line cut short never stops the exchanges. One that has not
        // begun is awaited for one gap only: the module may never send it. An answer to a
        // write-only command still leads the next reply, as the module's protocol has it.
        const auto drain_deadline = clock::now() + timeout;
        bool line_open = state_->pending_begun;
        for (;;) {
            const std::string stale = port->read(
                line_open ? drain_deadline : clock::now() + state_->timing.serial.burst_gap);
            if (stale.empty()) {
                break;
            }
            line_open = stale.back() != '\n';
            if (clock::now() >= drain_deadline) {
                break;  // a module that never falls quiet
            }
        }
        state_->reply_pending = false;
        state_->pending_begun = false;
    }
    port->write(command);

    // Input is not drained first: bytes nobody read (an answer to an earlier write) lead the
    // reply. Each read waits for a first byte only until the query's own deadline, so a silent
    // module costs the time-out, not the port's long read limit; a burst that has begun is
    // still read to its end.
    std::string reply;
    const auto deadline = clock::now() + timeout;
    while (clock::now() < deadline) {
        reply += port->read(deadline);
        if (!reply.empty() && reply.back() == '\n') {
            return reply;
        }
        std::this_thread::sleep_for(poll_interval);
    }
    state_->reply_pending = true;
    state_->pending_begun = !reply.empty();
    return std::nullopt;
}

}  // namespace usb
