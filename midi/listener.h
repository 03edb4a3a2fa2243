#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "midi/pad_map.h"
#include "midi/remembered.h"
#include "midi/system.h"
#include "settings/backup.h"

namespace midi {

// The program's one MIDI input: keeps the chosen input open (or the first "Korvaline" input when
// nothing was chosen), notices when it goes and reopens it within a second when an input of the
// same name comes back, and publishes what it plays:
//   {"event" : "hit", "pad": "snare", "note": 38, "velocity": 97, "t": 123456}  (t: ms, monotonic)
//   {"event" : "pedal", "value": 64}      (control change 4, at most 30 a second, the last kept)
//   {"event" : "midi", "port": "name", "connected": true}   on every change of the state
class listener {
  public:
    struct hooks {
        std::function<void(std::string)> publish;
        // The module's settings, or nothing while they cannot be read.
        std::function<std::optional<settings::json>()> read_settings;
    };

    struct state {
        std::optional<std::string> port;
        bool connected = false;
    };

    static constexpr std::chrono::milliseconds watch_period{250};
    static constexpr std::chrono::milliseconds pedal_interval{34};

    listener(system& inputs, remembered& choice, hooks hooks);
    ~listener();
    listener(const listener&) = delete;
    listener& operator=(const listener&) = delete;

    std::vector<port> ports();
    state current() const;

    // Chooses the input with this id (nothing: no input), remembers the choice and opens it.
    // False when no input has this id.
    bool choose(const std::optional<std::string>& id);

    // A pad's note was set on the module.
    void note_set(const std::string& pad, int note);
    // The module's settings may have changed as a whole (a restore, a module plugged in): the
    // notes are read again.
    void reread_pads();

    static std::string state_text(const state& s);

  private:
    void watch();
    // Opens, closes or reopens the input as the choice and the inputs present ask; publishes a
    // changed state. Runs with work_ held.
    void reconcile(const std::vector<port>& present);
    void receive(const message& m);
    void publish_state();
    // Runs with mutex_ held.
    void flush_pedal(clock::time_point now);

    system& inputs_;
    remembered& choice_;
    hooks hooks_;

    std::mutex work_;  // one reconcile at a time; guards connection_ and target_
    std::unique_ptr<connection> connection_;

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    state state_;
    bool lost_ = false;
    bool reread_ = true;
    bool stopping_ = false;
    std::uint64_t generation_ = 0;  // of the connection whose loss counts
    pad_map pads_;
    std::optional<int> pedal_pending_;
    clock::time_point pedal_sent_{};
    std::thread thread_;
};

}  // namespace midi
