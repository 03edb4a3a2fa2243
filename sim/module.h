#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/noise.h"

namespace sim {

// How the simulated module answers the commands that expect a reply.
enum class answer_mode {
    normal,   // the proper reply after the reply delay
    silent,   // never answers anything
    garbage,  // bytes that never end in a line feed, after the reply delay
    late,     // the proper reply, but only after the late delay
};

// The settings the module holds when it is created.
enum class starting_settings {
    // The values of the sample settings file, which the protocol tests know by heart. Several of
    // them are in other units than the module's (scan, mask and decay of 0.1 ms, a gain of almost
    // nothing), so an editor shows them at the ends of its controls.
    sample_file,
    // What a kit that somebody has set up would hold: plausible notes, gains, thresholds and
    // times for every pad, so the demo's editor looks like a working module.
    lifelike,
};

struct module_options {
    // Time between a complete command and the first byte of its reply.
    std::chrono::milliseconds reply_delay{3};
    // A command that cannot be recognised by its shape is complete once the input has been quiet
    // this long.
    std::chrono::milliseconds quiet_gap{5};
    // A curve whose JSON text has not closed yet waits this long for its remaining chunks.
    std::chrono::milliseconds curve_gap{200};
    // The delay of answer_mode::late.
    std::chrono::milliseconds late_delay{300};
    answer_mode mode = answer_mode::normal;
    bool plugged = true;
    starting_settings start = starting_settings::sample_file;
};

// Where the module is attached while it is plugged: the session number changes with every plug,
// so a bus can tell a replugged module from the one it saw before.
struct attachment {
    std::uint64_t session;
    std::string tty;
};

// A drum-trigger module that speaks the module's text protocol on a pseudo-terminal. The slave
// side of the pty is the module's "tty node"; the real SerialPort opens it like a CDC-ACM port.
// Unplugging closes the master side, so an open port sees a hang-up, and a replug creates a new
// pty with a new node.
class module {
  public:
    static constexpr std::uint16_t vendor_id = 0x0483;
    static constexpr std::uint16_t product_id = 0x5740;

    explicit module(module_options options = {});
    ~module();
    module(const module&) = delete;
    module& operator=(const module&) = delete;

    // Attaches the module with a fresh pty. Does nothing when it is already plugged. Must not be
    // called from the reset handler (it runs on the module's own thread).
    void plug();
    // Detaches the module: the bus stops reporting it at once and the pty master is closed.
    // May be called from the reset handler.
    void unplug();
    // Unplugs a plugged module or plugs an unplugged one; returns whether it is plugged now.
    bool toggle();
    std::optional<attachment> attached() const;

    void set_mode(answer_mode mode);
    void set_reply_delay(std::chrono::milliseconds delay);
    void set_late_delay(std::chrono::milliseconds delay);

    // Answers this exact command with these bytes from now on (nothing is added to them), in
    // place of the module's own reply; for tests that need a particular reading.
    void script(const std::string& command, std::string reply);
    void clear_scripts();

    // Called on the module's thread when "/reset" arrives. Empty: "/reset" does nothing. Once
    // on_reset() returns, no earlier handler is running any more. The handler may call unplug()
    // but not plug() or on_reset().
    void on_reset(std::function<void()> handler);

    // Every command received, framed, in arrival order.
    std::vector<std::string> commands() const;
    void clear_commands();
    // Waits until at least count commands have been recorded; false on time-out.
    bool wait_for_commands(std::size_t count, std::chrono::milliseconds timeout) const;

    // The settings as "/get params all" reports them, without the line end; and the copy that
    // "/save params all" stored last (the initial settings until then).
    std::string params_json() const;
    std::string saved_params_json() const;

    // The number of the pad that "$N" selected last (kick, 0, at first).
    int selected_pad() const;

    // One pad's settings as the module holds them now: what its simulated pad plays through.
    struct pad_settings {
        std::string name;
        int note = 0;
        std::int64_t threshold = 0;
        std::int64_t scan_us = 0;
        std::int64_t mask_us = 0;
        double gain = 1.0;
        std::array<std::array<std::int64_t, 2>, 4> curve{};
    };
    std::vector<pad_settings> pads() const;

    struct settings;

  private:
    struct session;
    struct outcome;
    void serve(std::shared_ptr<session> s);
    outcome handle(const std::string& command);
    // These three run with the mutex held.
    std::uint32_t next_random();
    std::string noise_trace();
    std::string garbage();

    mutable std::mutex mutex_;
    mutable std::condition_variable recorded_;
    module_options options_;
    std::unique_ptr<settings> current_;
    std::unique_ptr<settings> saved_;
    std::mutex reset_mutex_;  // held while the reset handler runs or is replaced
    std::function<void()> reset_handler_;
    std::vector<std::string> commands_;
    std::map<std::string, std::string> scripts_;
    std::uint64_t sessions_ = 0;
    pad_noise noise_{12345};
    std::shared_ptr<session> session_;
    std::thread worker_;
};

// Splits the head of the module's input into one command. Returns the length of the first
// complete command, or nothing while more input may still belong to it. Exposed for tests.
std::optional<std::size_t> frame_command(std::string_view input);

}  // namespace sim
