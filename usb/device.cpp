#include "usb/device.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <iostream>

#include "usb/reply.h"

namespace usb {

namespace {

using clock = std::chrono::steady_clock;

void report(const std::string& message) {
    std::cout << "Serial port error: " << message << "\n" << std::flush;
}

// Answers in time in a row after which the module counts as quick again.
constexpr int quick_to_forget = 3;

std::chrono::milliseconds since(clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start);
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
    // A query gave up before its reply came: the reply may still arrive and must not be taken
    // for the answer to a later command. The next exchange waits for it (up to the timing's
    // late_reply_limit after the query was sent) and drops it before it sends anything.
    bool reply_pending = false;
    clock::time_point pending_sent{};
    // Bytes read after the line that answered a query: the start of a line nobody asked for,
    // dropped by the next exchange once its line feed has come.
    std::string leftover;
    // How long the module takes to answer, learned from late replies: queries wait this long
    // for the first byte when it is longer than their own time-out. Zero while it answers in
    // time; back to zero after quick_to_forget answers in time in a row.
    std::chrono::milliseconds learned{0};
    int quick_in_a_row = 0;
    std::atomic<long> slow_ms{0};

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
        s.leftover.clear();
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

void device::learn(std::chrono::milliseconds lateness) {
    state& s = *state_;
    s.quick_in_a_row = 0;
    s.learned = std::min(s.timing.late_reply_limit, lateness * 3 / 2);
    s.slow_ms.store(lateness.count());
}

void device::settle() {
    state& s = *state_;
    if (!s.reply_pending && s.leftover.empty()) {
        return;
    }
    // What is owed ends with a line feed: a reply that has not come, or the rest of a line that
    // has begun. It is awaited up to the limit (at least one burst gap, for what is under way),
    // then everything read is dropped.
    const auto limit = std::max(clock::now() + s.timing.serial.burst_gap,
                                s.reply_pending ? s.pending_sent + s.timing.late_reply_limit
                                                : clock::now() + s.timing.late_reply_limit);
    std::string owed = std::move(s.leftover);
    s.leftover.clear();
    while (owed.empty() || owed.back() != '\n') {
        const std::string more = s.port->read(limit);
        if (more.empty()) {
            break;  // nothing more within the limit: a reply lost, or a line cut short for good
        }
        owed += more;
        if (clock::now() >= limit) {
            break;  // a module that never falls quiet
        }
    }
    if (s.reply_pending && !owed.empty() && owed.back() == '\n') {
        // The late reply has come: how late tells how long the module takes now. The read ends
        // a burst gap after its last byte.
        learn(std::max(std::chrono::milliseconds(0),
                       since(s.pending_sent) - s.timing.serial.burst_gap));
    }
    s.reply_pending = false;
}

std::optional<std::chrono::milliseconds> device::slow() const {
    const long ms = state_->slow_ms.load();
    return ms > 0 ? std::optional(std::chrono::milliseconds(ms)) : std::nullopt;
}

bool device::write(const std::string& command) {
    std::lock_guard lock(state_->mutex);
    if (!state_->port) {
        return false;
    }
    settle();
    state_->port->write(command);
    return true;
}

std::optional<std::string> device::query(const std::string& command,
                                         std::chrono::milliseconds timeout,
                                         std::chrono::microseconds poll_interval) {
    std::lock_guard lock(state_->mutex);
    state& s = *state_;
    SerialPort* port = s.port.get();
    if (port == nullptr) {
        return std::nullopt;
    }
    settle();
    port->write(command);

    // Each complete line is judged by the kind of reply the command gets: a line of another kind
    // (a late answer to an earlier command, a reading) is dropped, and the query goes on waiting.
    // Each read waits for a first byte only until the query's deadline, so a silent module costs
    // the time-out, not the port's long read limit; a burst that has begun is still read to its
    // end. A module that has been slow is given its learned time to begin its answer.
    const reply_kind kind = expected_reply(command);
    const auto sent = clock::now();
    const auto in_time = sent + timeout;
    const auto deadline = sent + std::max(timeout, s.learned);
    bool dropped = false;
    std::string reply;
    while (clock::now() < deadline) {
        const bool early = clock::now() < in_time;
        const std::string got = port->read(early ? in_time : deadline);
        reply += got;
        for (std::size_t end; (end = reply.find('\n')) != std::string::npos;) {
            std::string line = reply.substr(0, end + 1);
            reply.erase(0, end + 1);
            if (reply_fits(kind, line)) {
                s.leftover = std::move(reply);
                if (early && !got.empty()) {
                    if (++s.quick_in_a_row >= quick_to_forget) {
                        s.learned = std::chrono::milliseconds(0);
                        s.slow_ms.store(0);
                    }
                } else {
                    learn(since(sent) - s.timing.serial.burst_gap);
                }
                return line;
            }
            if (!dropped) {
                dropped = true;  // one line a query, however many come
                std::cout << "Dropped a reply that does not answer '" + command + "': '" +
                                 line.substr(0, line.find_last_not_of("\r\n") + 1) + "'\n"
                          << std::flush;
            }
        }
        if (early && got.empty() && clock::now() >= in_time) {
            continue;  // nothing in the query's own time: go on into the learned time at once
        }
        std::this_thread::sleep_for(poll_interval);
    }
    s.reply_pending = true;
    s.pending_sent = sent;
    s.leftover = std::move(reply);
    return std::nullopt;
}

}  // namespace usb
