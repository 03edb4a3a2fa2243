#include "midi/listener.h"

#include <algorithm>
#include <cctype>

namespace midi {

namespace {

constexpr std::uint8_t note_on = 0x90;
constexpr std::uint8_t control_change = 0xB0;
constexpr std::uint8_t pedal_controller = 4;

bool names_the_module(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("korvaline") != std::string::npos;
}

std::string quoted(const std::optional<std::string>& text) {
    return text ? settings::json(*text).dump() : "null";
}

std::string pedal_text(int value) {
    return R"({"event" : "pedal", "value": )" + std::to_string(value) + "}";
}

}  // namespace

listener::listener(system& inputs, remembered& choice, hooks hooks)
    : inputs_(inputs), choice_(choice), hooks_(std::move(hooks)) {
    thread_ = std::thread([this] { watch(); });
}

listener::~listener() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    std::lock_guard work(work_);
    connection_.reset();
}

std::vector<port> listener::ports() {
    return inputs_.ports();
}

listener::state listener::current() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::string listener::state_text(const state& s) {
    return R"({"port": )" + quoted(s.port) + R"(, "connected": )" +
           (s.connected ? "true" : "false") + "}";
}

bool listener::choose(const std::optional<std::string>& id) {
    const std::vector<port> present = inputs_.ports();
    std::optional<std::string> name;
    if (id) {
        const auto it = std::find_if(present.begin(), present.end(),
                                     [&](const port& p) { return p.id == *id; });
        if (it == present.end()) {
            return false;
        }
        name = it->name;
    }
    std::lock_guard work(work_);
    choice_.save(name);
    reconcile(present);
    return true;
}

void listener::note_set(const std::string& pad, int note) {
    std::lock_guard lock(mutex_);
    pads_.set_note(pad, note);
}

void listener::reread_pads() {
    {
        std::lock_guard lock(mutex_);
        reread_ = true;
    }
    wake_.notify_all();
}

void listener::watch() {
    for (;;) {
        bool reread = false;
        {
            std::unique_lock lock(mutex_);
            const auto poll_at = clock::now() + watch_period;
            while (!stopping_ && !lost_ && !(reread_ && state_.connected) &&
                   clock::now() < poll_at) {
                flush_pedal(clock::now());
                auto due = poll_at;
                if (pedal_pending_) {
                    due = std::min(due, pedal_sent_ + pedal_interval);
                }
                wake_.wait_until(lock, due);
            }
            if (stopping_) {
                return;
            }
            flush_pedal(clock::now());
            // The notes matter only while an input is open; they are read when one opens.
            reread = reread_ && state_.connected;
            if (reread) {
                reread_ = false;
            }
        }
        if (reread && hooks_.read_settings) {
            if (const auto settings = hooks_.read_settings()) {
                pad_map fresh(*settings);
                std::lock_guard lock(mutex_);
                pads_ = std::move(fresh);
            }
        }
        const std::vector<port> present = inputs_.ports();
        std::lock_guard work(work_);
        reconcile(present);
    }
}

void listener::reconcile(const std::vector<port>& present) {
    const remembered::choice choice = choice_.current();
    std::optional<std::string> target;
    bool lost = false;
    {
        std::lock_guard lock(mutex_);
        lost = lost_;
        lost_ = false;
        target = choice.made ? choice.name : state_.port;
    }
    if (!choice.made && !connection_) {
        // Nothing chosen: the module's own input, wherever it appears.
        const auto module = std::find_if(present.begin(), present.end(),
                                         [](const port& p) { return names_the_module(p.name); });
        if (module != present.end()) {
            target = module->name;
        }
    }
    const auto listed = std::find_if(present.begin(), present.end(),
                                     [&](const port& p) { return target && p.name == *target; });
    std::optional<std::string> open_name;
    {
        std::lock_guard lock(mutex_);
        open_name = connection_ ? state_.port : std::nullopt;
    }
    if (connection_ && (lost || listed == present.end() || open_name != target)) {
        connection_.reset();
    }
    if (!connection_ && listed != present.end()) {
        std::uint64_t generation = 0;
        {
            std::lock_guard lock(mutex_);
            generation = ++generation_;
        }
        connection_ = inputs_.open(
            *listed, [this](const message& m) { receive(m); },
            [this, generation] {
                std::lock_guard lock(mutex_);
                if (generation == generation_) {
                    lost_ = true;
                    wake_.notify_all();
                }
            });
    }
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        const state now{target, connection_ != nullptr};
        changed = now.port != state_.port || now.connected != state_.connected;
        if (now.connected && !state_.connected) {
            reread_ = true;
        }
        state_ = now;
    }
    if (changed) {
        publish_state();
    }
}

void listener::publish_state() {
    const state s = current();
    hooks_.publish(R"({"event" : "midi", "port": )" + quoted(s.port) + R"(, "connected": )" +
                   (s.connected ? "true" : "false") + "}");
}

void listener::receive(const message& m) {
    const std::uint8_t kind = m.status & 0xF0;
    if (kind == note_on && m.data2 > 0) {
        std::optional<std::string> pad;
        {
            std::lock_guard lock(mutex_);
            pad = pads_.pad_of(m.data1);
        }
        const auto t =
            std::chrono::duration_cast<std::chrono::milliseconds>(m.time.time_since_epoch());
        hooks_.publish(R"({"event" : "hit", "pad": )" + quoted(pad) + R"(, "note": )" +
                       std::to_string(m.data1) + R"(, "velocity": )" + std::to_string(m.data2) +
                       R"(, "t": )" + std::to_string(t.count()) + "}");
    } else if (kind == control_change && m.data1 == pedal_controller) {
        std::lock_guard lock(mutex_);
        pedal_pending_ = m.data2;
        if (m.time - pedal_sent_ >= pedal_interval) {
            flush_pedal(m.time);
        } else {
            // Sent by the watch thread when the interval is over, unless a newer value comes.
            wake_.notify_all();
        }
    }
}

void listener::flush_pedal(clock::time_point now) {
    if (pedal_pending_ && now - pedal_sent_ >= pedal_interval) {
        hooks_.publish(pedal_text(*pedal_pending_));
        pedal_pending_.reset();
        pedal_sent_ = now;
    }
}

}  // namespace midi
