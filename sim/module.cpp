#include "sim/module.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <deque>
#include <limits>

namespace sim {

namespace {

using steady = std::chrono::steady_clock;

constexpr std::string_view get_params = "/get params all";
constexpr std::string_view save_params = "/save params all";
constexpr std::string_view reset_command = "/reset";
constexpr std::string_view curve_prefix = "/set curve snare ";
constexpr std::string_view set_prefix = "/set ";

// A full-speed CDC-ACM module hands its output over in 64-byte USB packets.
constexpr std::size_t packet_size = 64;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool starts_command(char c) {
    return c == '/' || c == '$' || c == '#' || c == '@';
}

// The length of a JSON object at the start of text, or nothing while it has not closed yet.
std::optional<std::size_t> json_object_length(std::string_view text) {
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (--depth == 0) {
                return i + 1;
            }
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::size_t> frame_command(std::string_view input) {
    if (input.empty()) {
        return std::nullopt;
    }
    const char first = input[0];
    if (first == '#' || first == '@') {
        return 1;
    }
    if (first == '$') {
        // "$" and a decimal number: it ends where a byte that is no digit follows.
        std::size_t i = 1;
        if (i < input.size() && input[i] == '-') {
            ++i;
        }
        while (i < input.size() && is_digit(input[i])) {
            ++i;
        }
        if (i < input.size()) {
            return i;
        }
        return std::nullopt;
    }
    if (first != '/') {
        return std::nullopt;
    }
    for (const std::string_view fixed : {get_params, save_params, reset_command}) {
        if (input.starts_with(fixed)) {
            return fixed.size();
        }
    }
    if (input.starts_with(curve_prefix)) {
        const std::string_view rest = input.substr(curve_prefix.size());
        if (rest.empty()) {
            return std::nullopt;
        }
        if (rest[0] == '{') {
            const auto length = json_object_length(rest);
            if (length) {
                return curve_prefix.size() + *length;
            }
            return std::nullopt;
        }
        // A curve upload without content, directly followed by the next command.
        if (starts_command(rest[0])) {
            return curve_prefix.size();
        }
    }
    // "/set S P V": three words after "/set ", none of which holds a byte that starts a command,
    // so the value ends where the next command begins. A "/set" still alone on the line ends
    // when the input goes quiet, as anything unknown does.
    if (input.starts_with("/set ")) {
        std::size_t i = 5;
        for (int word = 0; word < 3; ++word) {
            const std::size_t begin = i;
            while (i < input.size() && input[i] != ' ' && !starts_command(input[i])) {
                ++i;
            }
            if (i == begin) {
                return std::nullopt;
            }
            if (word < 2) {
                if (i >= input.size() || input[i] != ' ') {
                    return std::nullopt;
                }
                ++i;
            }
        }
        if (i < input.size() && starts_command(input[i])) {
            return i;
        }
    }
    return std::nullopt;
}

namespace {

// True while the input holds a curve whose JSON object has begun but not closed.
bool inside_curve(std::string_view input) {
    return input.starts_with(curve_prefix) && input.size() > curve_prefix.size() &&
           input[curve_prefix.size()] == '{';
}

struct pad {
    const char* name;
    int number;
    std::int64_t scan, mask, decay, threshold, note;
    std::uint32_t gain;
    std::array<std::array<std::int64_t, 2>, 4> curve;
};

std::array<std::array<std::int64_t, 2>, 4> sample_curve(std::int64_t y0) {
    return {{{0, y0}, {192, 192}, {128, 64}, {256, 256}}};
}

std::optional<std::int64_t> parse_integer(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// A gain as the pages send it ("1.50") becomes unsigned fixed point with 15 fraction bits.
std::optional<std::uint32_t> parse_gain(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty() ||
        !std::isfinite(value) || value < 0) {
        return std::nullopt;
    }
    const double fixed = std::round(value * 32768.0);
    if (fixed > static_cast<double>(std::numeric_limits<std::uint32_t>::max())) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(fixed);
}

// Reads the four points of {"p": [[x, y], ...]}; anything else is refused whole.
std::optional<std::array<std::array<std::int64_t, 2>, 4>> parse_curve(std::string_view text) {
    const auto key = text.find("\"p\"");
    if (key == std::string_view::npos) {
        return std::nullopt;
    }
    std::size_t i = text.find('[', key);
    if (i == std::string_view::npos) {
        return std::nullopt;
    }
    std::vector<std::int64_t> numbers;
    int depth = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '[') {
            ++depth;
        } else if (c == ']') {
            if (--depth == 0) {
                break;
            }
        } else if (is_digit(c) || c == '-') {
            double value = 0;
            const auto [end, error] =
                std::from_chars(text.data() + i, text.data() + text.size(), value);
            if (error != std::errc{} || !std::isfinite(value) || std::abs(value) > 1e9) {
                return std::nullopt;
            }
            numbers.push_back(static_cast<std::int64_t>(value));
            i = static_cast<std::size_t>(end - text.data()) - 1;
        } else if (c != ',' && c != ' ') {
            return std::nullopt;
        }
    }
    if (depth != 0 || numbers.size() != 8) {
        return std::nullopt;
    }
    std::array<std::array<std::int64_t, 2>, 4> points{};
    for (std::size_t p = 0; p < 4; ++p) {
        points[p] = {numbers[2 * p], numbers[2 * p + 1]};
    }
    return points;
}

// A curve that lifts soft hits a little and leaves room at the top, as most kits are played.
constexpr std::array<std::array<std::int64_t, 2>, 4> gentle_curve{
    {{0, 8}, {80, 96}, {176, 208}, {255, 248}}};

// Fixed point with 15 fraction bits, as the module stores gains.
constexpr std::uint32_t gain_of(double value) {
    return static_cast<std::uint32_t>(value * 32768.0 + 0.5);
}

}  // namespace

// The module's settings: the pads, the hi-hat controller and its trigger.
struct module::settings {
    explicit settings(starting_settings start) {
        if (start == starting_settings::lifelike) {
            // Times in microseconds: scan 2.5 to 4 ms, mask 18 to 38 ms, decay 85 to 140 ms. Each
            // threshold lies just above the loudest noise of its pad, jumps included (noise.cpp).
            // The snare's mask is shorter than its rebounds, and tom1's threshold low enough for
            // the snare's strokes to reach it: faults of a real kit, for the demo's hits to show.
            pads = {{
                {"kick", 0, 3000, 38000, 120000, 12, 36, gain_of(1.50), gentle_curve},
                {"snare", 1, 2500, 18000, 100000, 18, 38, gain_of(1.25), gentle_curve},
                {"hihat", 2, 2500, 22000, 85000, 30, 42, gain_of(1.10), gentle_curve},
                {"crash1", 4, 3500, 30000, 140000, 24, 49, gain_of(1.20), gentle_curve},
                {"tom1", 5, 3000, 28000, 110000, 16, 48, gain_of(1.60), gentle_curve},
                {"tom3", 6, 3000, 30000, 125000, 15, 43, gain_of(1.75), gentle_curve},
                {"ride", 7, 4000, 32000, 135000, 22, 51, gain_of(1.30), gentle_curve},
                {"tom2", 8, 3000, 29000, 115000, 16, 45, gain_of(1.65), gentle_curve},
                {"crash2", 9, 3500, 30000, 140000, 24, 57, gain_of(1.20), gentle_curve},
            }};
        }
    }

    // The values of the sample settings file until the constructor says otherwise.
    std::array<pad, 9> pads{{
        {"kick", 0, 100, 110, 120, 10, 36, 10, sample_curve(0)},
        {"snare", 1, 200, 210, 220, 20, 38, 20, sample_curve(10)},
        {"hihat", 2, 3000, 20000, 130000, 50, 42, 30, sample_curve(30)},
        {"crash1", 4, 3000, 20000, 130000, 50, 49, 40, sample_curve(30)},
        {"tom1", 5, 3000, 20000, 130000, 50, 50, 50, sample_curve(40)},
        {"tom3", 6, 3000, 20000, 130000, 50, 41, 60, sample_curve(50)},
        {"ride", 7, 3000, 20000, 130000, 50, 51, 70, sample_curve(60)},
        {"tom2", 8, 3000, 20000, 130000, 1800, 47, 80, sample_curve(70)},
        {"crash2", 9, 3000, 20000, 130000, 1800, 57, 90, sample_curve(80)},
    }};
    std::int64_t hhc_timeout = 9000, hhc_threshold = 30, hhc_offset = 105;
    std::int64_t trig_threshold = 400, trig_scan = 15000, trig_vel_thresh = 800;
    int selected = 0;

    pad* find_pad(std::string_view name) {
        for (auto& p : pads) {
            if (name == p.name) {
                return &p;
            }
        }
        return nullptr;
    }

    std::string json() const {
        std::string out = "{";
        for (const auto& p : pads) {
            out += "\"" + std::string(p.name) + "\": {\"scan\": " + std::to_string(p.scan) +
                   ", \"mask\": " + std::to_string(p.mask) +
                   ", \"decay\": " + std::to_string(p.decay) +
                   ", \"threshold\": " + std::to_string(p.threshold) +
                   ", \"note\": " + std::to_string(p.note) +
                   ", \"gain\": " + std::to_string(p.gain) + ", \"curve\": {\"p\": [";
            for (std::size_t i = 0; i < 4; ++i) {
                out += (i ? ", [" : "[") + std::to_string(p.curve[i][0]) + ", " +
                       std::to_string(p.curve[i][1]) + "]";
            }
            out += "]}}, ";
        }
        out += "\"hhc\": {\"timeout\": " + std::to_string(hhc_timeout) +
               ", \"threshold\": " + std::to_string(hhc_threshold) +
               ", \"offset\": " + std::to_string(hhc_offset) + "}, ";
        out += "\"hhc_trig\": {\"threshold\": " + std::to_string(trig_threshold) +
               ", \"scan\": " + std::to_string(trig_scan) +
               ", \"vel_thresh\": " + std::to_string(trig_vel_thresh) + "}}";
        return out;
    }

    // Applies "/set sensor param value" and returns the module's answer line (without line end).
    std::string set(std::string_view sensor, std::string_view param, std::string_view value) {
        std::int64_t* field = nullptr;
        if (pad* p = find_pad(sensor)) {
            if (param == "gain") {
                const auto gain = parse_gain(value);
                if (!gain) {
                    return "error: bad value";
                }
                p->gain = *gain;
                return "set " + std::string(sensor) + " gain " + std::to_string(*gain);
            }
            if (param == "note")
                field = &p->note;
            if (param == "threshold")
                field = &p->threshold;
            if (param == "scan")
                field = &p->scan;
            if (param == "mask")
                field = &p->mask;
            if (param == "decay")
                field = &p->decay;
        } else if (sensor == "fsrc" || sensor == "hhc") {
            if (param == "timeout")
                field = &hhc_timeout;
            if (param == "threshold")
                field = &hhc_threshold;
            if (param == "offset")
                field = &hhc_offset;
        } else if (sensor == "fsrt" || sensor == "hhc_trig") {
            if (param == "threshold")
                field = &trig_threshold;
            if (param == "scan")
                field = &trig_scan;
            if (param == "vel_thresh")
                field = &trig_vel_thresh;
        }
        if (!field) {
            return "error: unknown parameter";
        }
        const auto number = parse_integer(value);
        if (!number) {
            return "error: bad value";
        }
        *field = *number;
        return "set " + std::string(sensor) + " " + std::string(param) + " " +
               std::to_string(*number);
    }
};

// One plugged period: the pty pair, the wake-up pipe and the stop request.
struct module::session {
    int master = -1;
    int slave = -1;
    int wake_read = -1;
    int wake_write = -1;
    std::string tty;
    std::uint64_t number = 0;
    bool stop = false;  // guarded by the module's mutex

    ~session() {
        for (int fd : {master, slave, wake_read, wake_write}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
};

module::module(module_options options) :options_(options),
    current_(std::make_unique<settings>(options.start)),
    saved_(std::make_unique<settings>(options.start)) {
    if (options_.plugged) {
        plug();
    }
}

module::~module() {
    unplug();
}

void module::plug() {
    std::unique_lock lock(mutex_);
    if (session_) {
        return;
    }
    // A worker that ended through the reset handler is still waiting to be joined.
    if (worker_.joinable()) {
        std::thread old = std::move(worker_);
        lock.unlock();
        old.join();
        lock.lock();
        if (session_) {
            return;
        }
    }
    auto s = std::make_shared<session>();
    std::array<char, 128> name{};
    if (::openpty(&s->master, &s->slave, name.data(), nullptr, nullptr) != 0) {
        return;
    }
    // The line must be raw before anybody opens it: a cooked pty would echo the module's own
    // replies back to it as input.
    termios raw{};
    if (::tcgetattr(s->slave, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(s->slave, TCSANOW, &raw);
    }
    ::fcntl(s->master, F_SETFL, ::fcntl(s->master, F_GETFL) | O_NONBLOCK);
    ::fcntl(s->master, F_SETFD, FD_CLOEXEC);
    ::fcntl(s->slave, F_SETFD, FD_CLOEXEC);
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    s->wake_read = wake[0];
    s->wake_write = wake[1];
    s->tty = name.data();
    s->number = ++sessions_;
    session_ = s;
    worker_ = std::thread([this, s] { serve(s); });
}

void module::unplug() {
    std::thread old;
    {
        std::lock_guard lock(mutex_);
        if (session_) {
            session_->stop = true;
            const char byte = 1;
            [[maybe_unused]] auto written = ::write(session_->wake_write, &byte, 1);
            session_.reset();
        }
        // From the reset handler the worker is the caller: it ends by itself once the handler
        // returns, and the next plug() or the destructor joins it.
        if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) {
            old = std::move(worker_);
        }
    }
    if (old.joinable()) {
        old.join();
    }
}

bool module::toggle() {
    if (attached()) {
        unplug();
        return false;
    }
    plug();
    return attached().has_value();
}

std::optional<attachment> module::attached() const {
    std::lock_guard lock(mutex_);
    if (!session_) {
        return std::nullopt;
    }
    return attachment{session_->number, session_->tty};
}

void module::set_mode(answer_mode mode) {
    std::lock_guard lock(mutex_);
    options_.mode = mode;
}

void module::set_reply_delay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    options_.reply_delay = delay;
}

void module::set_late_delay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    options_.late_delay = delay;
}

void module::script(const std::string& command, std::string reply) {
    std::lock_guard lock(mutex_);
    scripts_[command] = std::move(reply);
}

void module::clear_scripts() {
    std::lock_guard lock(mutex_);
    scripts_.clear();
}

void module::on_reset(std::function<void()> handler) {
    // Waits for a handler that is running, so its owner may go once this returns.
    std::lock_guard lock(reset_mutex_);
    reset_handler_ = std::move(handler);
}

std::vector<std::string> module::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

void module::clear_commands() {
    std::lock_guard lock(mutex_);
    commands_.clear();
}

bool module::wait_for_commands(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return recorded_.wait_for(lock, timeout, [&] { return commands_.size() >= count; });
}

std::string module::params_json() const {
    std::lock_guard lock(mutex_);
    return current_->json();
}

std::string module::saved_params_json() const {
    std::lock_guard lock(mutex_);
    return saved_->json();
}

int module::selected_pad() const {
    std::lock_guard lock(mutex_);
    return current_->selected;
}

std::vector<module::pad_settings> module::pads() const {
    std::lock_guard lock(mutex_);
    std::vector<pad_settings> out;
    for (const auto& p : current_->pads) {
        out.push_back({p.name, static_cast<int>(p.note), p.threshold, p.scan, p.mask,
                       p.gain / 32768.0, p.curve});
    }
    return out;
}

namespace {

struct pending_reply {
    steady::time_point due;
    std::string bytes;
};

// Writes one reply in USB-sized packets, back to back, as the module's CDC endpoint does.
void send_reply(int master, const std::string& bytes) {
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const std::size_t length = std::min(packet_size, bytes.size() - offset);
        const ssize_t written = ::write(master, bytes.data() + offset, length);
        if (written > 0) {
            offset += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno == EAGAIN) {
            // Nobody reads the port: wait a little for room, then give the reply up.
            pollfd out{master, POLLOUT, 0};
            if (::poll(&out, 1, 100) > 0 && (out.revents & POLLOUT)) {
                continue;
            }
        }
        return;
    }
}

}  // namespace

std::uint32_t module::next_random() {
    return noise_.next();
}

std::string module::noise_trace() {
    // One hit: a few quiet samples, a steep attack, then an exponential decay with some noise.
    const double peak = 120.0 + next_random() % 130;
    std::string out = "[";
    for (int i = 0; i < 48; ++i) {
        double value = 0;
        if (i >= 3 && i < 6) {
            value = peak * (i - 2) / 3.0;
        } else if (i >= 6) {
            value = peak * std::exp(-(i - 5) / 9.0);
        }
        value += next_random() % 6;
        out += (i ? "," : "") + std::to_string(static_cast<int>(value));
    }
    return out + "]";
}

std::string module::garbage() {
    // Printable junk and a stray carriage return, but never a line feed.
    std::string out;
    const std::size_t length = 5 + next_random() % 20;
    for (std::size_t i = 0; i < length; ++i) {
        out += static_cast<char>(33 + next_random() % 94);
    }
    return out + "\r";
}

// What one command asks of the module's thread: a reply to send later, and whether to run the
// reset handler.
struct module::outcome {
    std::optional<std::string> reply;
    steady::time_point due;
    bool reset = false;
};

module::outcome module::handle(const std::string& command) {
    std::lock_guard lock(mutex_);
    commands_.push_back(command);
    recorded_.notify_all();

    outcome result;
    std::optional<std::string> answer;
    if (const auto scripted = scripts_.find(command); scripted != scripts_.end()) {
        answer = scripted->second;
    } else if (command == "#") {
        answer = std::to_string(noise_.level(current_->selected)) + "\r\n";
    } else if (command == "@") {
        answer = noise_trace() + "\r\n";
    } else if (command.starts_with('$')) {
        if (const auto number = parse_integer(std::string_view(command).substr(1))) {
            for (const auto& p : current_->pads) {
                if (p.number == *number) {
                    current_->selected = p.number;
                }
            }
        }
    } else if (command == get_params) {
        answer = current_->json() + "\r\n";
    } else if (command == save_params) {
        *saved_ = *current_;
    } else if (command == reset_command) {
        result.reset = true;
    } else if (command.starts_with(curve_prefix)) {
        if (const auto points =
                parse_curve(std::string_view(command).substr(curve_prefix.size()))) {
            for (auto& p : current_->pads) {
                if (p.number == current_->selected) {
                    p.curve = *points;
                }
            }
        }
    } else if (command.starts_with(set_prefix)) {
        // "/set sensor param value": the value is everything after the second blank.
        const std::string_view rest = std::string_view(command).substr(set_prefix.size());
        const auto blank1 = rest.find(' ');
        const auto blank2 = blank1 == std::string_view::npos ? blank1 : rest.find(' ', blank1 + 1);
        if (blank2 == std::string_view::npos) {
            answer = "error: bad command\r\n";
        } else {
            answer =
                current_->set(rest.substr(0, blank1), rest.substr(blank1 + 1, blank2 - blank1 - 1),
                              rest.substr(blank2 + 1)) +
                "\r\n";
        }
    }
    // Anything else is not a command of this firmware and goes unanswered.

    if (answer) {
        const auto now = steady::now();
        switch (options_.mode) {
            case answer_mode::normal:
                result.reply = std::move(*answer);
                result.due = now + options_.reply_delay;
                break;
            case answer_mode::late:
                result.reply = std::move(*answer);
                result.due = now + options_.late_delay;
                break;
            case answer_mode::garbage:
                result.reply = garbage();
                result.due = now + options_.reply_delay;
                break;
            case answer_mode::silent:
                break;
        }
    }
    return result;
}

void module::serve(std::shared_ptr<session> s) {
    std::string input;
    steady::time_point last_input = steady::now();
    std::deque<pending_reply> replies;
    std::array<char, 4096> buffer{};

    const auto run_command = [&](std::string command) {
        outcome result = handle(command);
        if (result.reply) {
            replies.push_back(pending_reply{result.due, std::move(*result.reply)});
            std::stable_sort(replies.begin(), replies.end(),
                             [](const auto& a, const auto& b) { return a.due < b.due; });
        }
        if (result.reset) {
            std::lock_guard lock(reset_mutex_);
            if (reset_handler_) {
                reset_handler_();
            }
        }
    };

    for (;;) {
        std::chrono::milliseconds quiet_gap, curve_gap;
        {
            std::lock_guard lock(mutex_);
            if (s->stop) {
                break;
            }
            quiet_gap = options_.quiet_gap;
            curve_gap = options_.curve_gap;
        }
        const auto gap = [&] { return inside_curve(input) ? curve_gap : quiet_gap; };
        const auto now = steady::now();
        steady::time_point wake_at = steady::time_point::max();
        if (!input.empty()) {
            wake_at = last_input + gap();
        }
        if (!replies.empty()) {
            wake_at = std::min(wake_at, replies.front().due);
        }
        int timeout_ms = -1;
        if (wake_at != steady::time_point::max()) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
                std::max<steady::duration>(wake_at - now, steady::duration::zero()));
            timeout_ms = static_cast<int>(std::min<std::int64_t>(wait.count(), 60'000));
        }
        std::array<pollfd, 2> fds{{{s->master, POLLIN, 0}, {s->wake_read, POLLIN, 0}}};
        const int ready = ::poll(fds.data(), fds.size(), timeout_ms);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (fds[1].revents & POLLIN) {
            char drain[16];
            while (::read(s->wake_read, drain, sizeof drain) > 0) {
            }
            continue;
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t got = ::read(s->master, buffer.data(), buffer.size());
            if (got > 0) {
                input.append(buffer.data(), static_cast<std::size_t>(got));
                last_input = steady::now();
            }
        }
        // Commands recognisable by their shape are taken at once; the rest once the input has
        // been quiet long enough.
        while (const auto length = frame_command(input)) {
            std::string command = input.substr(0, *length);
            input.erase(0, *length);
            run_command(std::move(command));
        }
        if (!input.empty() && steady::now() - last_input >= gap()) {
            std::string command = std::move(input);
            input.clear();
            run_command(std::move(command));
        }
        while (!replies.empty() && replies.front().due <= steady::now()) {
            send_reply(s->master, replies.front().bytes);
            replies.pop_front();
        }
    }
}

}  // namespace sim
