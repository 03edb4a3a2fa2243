#include "midi/rtmidi_system.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>

#include <atomic>
#include <chrono>
#include <optional>

namespace midi {

namespace {

constexpr const char* client_name = "Korvaline";
constexpr std::chrono::seconds retry_period{1};

// The libraries below RtMidi print every failed attempt to reach their system on standard error;
// an absent system is normal here, and a user has nothing to do about it.
extern "C" void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}
extern "C" void quiet_jack(const char*) {}

void quiet_rtmidi(RtMidiError::Type, const std::string&, void*) {}

std::string short_name(RtMidi::Api api) {
    return RtMidi::getApiName(api);  // "alsa", "jack"
}

class rtmidi_connection : public connection {
  public:
    rtmidi_connection(std::function<void(const message&)> deliver, std::function<void()> lost)
        : deliver_(std::move(deliver)), lost_(std::move(lost)) {}

    // The callback is not cancelled first: RtMidi clears its function before its flag, so a note
    // arriving meanwhile would call through a null pointer. RtMidiIn's destructor stops its
    // thread (JACK's client or ALSA's reader) before it returns, and `in_`, the last member, goes
    // before what the callback uses.
    ~rtmidi_connection() override = default;

    bool open(RtMidi::Api api, const std::string& name) {
        try {
            in_ = std::make_unique<RtMidiIn>(api, client_name);
            in_->setErrorCallback(&rtmidi_connection::on_error, this);
            const unsigned count = in_->getPortCount();
            for (unsigned i = 0; i < count; ++i) {
                if (in_->getPortName(i) == name) {
                    in_->ignoreTypes(true, true, true);
                    in_->setCallback(&rtmidi_connection::on_message, this);
                    in_->openPort(i, "input");
                    return true;
                }
            }
        } catch (const RtMidiError&) {
        }
        return false;
    }

  private:
    static void on_message(double, std::vector<unsigned char>* bytes, void* self) {
        const auto now = clock::now();
        if (bytes == nullptr || bytes->size() < 3) {
            return;
        }
        const std::uint8_t kind = (*bytes)[0] & 0xF0;
        if (kind == 0x90 || kind == 0xB0) {
            static_cast<rtmidi_connection*>(self)->deliver_(
                message{(*bytes)[0], (*bytes)[1], (*bytes)[2], now});
        }
    }

    static void on_error(RtMidiError::Type type, const std::string&, void* self) {
        auto* me = static_cast<rtmidi_connection*>(self);
        if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING && me->lost_) {
            me->lost_();
        }
    }

    std::function<void(const message&)> deliver_;
    std::function<void()> lost_;
    std::unique_ptr<RtMidiIn> in_;
};

}  // namespace

// One back end's list of inputs. A back end whose system is absent lists nothing; its list is
// opened again at most once per retry period, so a system that starts later is found.
struct rtmidi_system::backend {
    explicit backend(RtMidi::Api a) : api(a) {}
    virtual ~backend() = default;

    // Opens the list, or false when the system is absent. Never says anything on standard error.
    virtual bool open_list() = 0;
    // The inputs' names, or nothing when the system has gone since the list was opened.
    virtual std::optional<std::vector<std::string>> names() = 0;
    virtual void close_list() = 0;

    const RtMidi::Api api;
    bool open = false;
    clock::time_point next_try{};
};

namespace {

// The ALSA sequencer, listed through RtMidi.
struct alsa_backend : rtmidi_system::backend {
    alsa_backend() : backend(RtMidi::LINUX_ALSA) {}

    bool open_list() override {
        // Probed first: RtMidi itself would complain on standard error about an absent system.
        snd_seq_t* seq = nullptr;
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0) {
            return false;
        }
        snd_seq_close(seq);
        try {
            lister = std::make_unique<RtMidiIn>(api, client_name);
            lister->setErrorCallback(quiet_rtmidi);
            return true;
        } catch (const RtMidiError&) {
            return false;
        }
    }

    std::optional<std::vector<std::string>> names() override {
        std::vector<std::string> out;
        try {
            const unsigned count = lister->getPortCount();
            for (unsigned i = 0; i < count; ++i) {
                out.push_back(lister->getPortName(i));
            }
        } catch (const RtMidiError&) {
            return std::nullopt;
        }
        return out;
    }

    void close_list() override { lister.reset(); }

    std::unique_ptr<RtMidiIn> lister;
};

// A JACK server, listed by a client of our own that is never activated: RtMidi's clients take
// part in every cycle of the server (375 wake-ups a second at a 128-frame period), which an input
// that only lists does not need. The client also learns when the server shuts down, so that the
// list is opened again on a server that restarts; RtMidi's client would list nothing forever.
struct jack_backend : rtmidi_system::backend {
    jack_backend() : backend(RtMidi::UNIX_JACK) {}
    ~jack_backend() override { close_list(); }

    bool open_list() override {
        jack_status_t status{};
        client = jack_client_open(client_name, JackNoStartServer, &status);
        if (client == nullptr) {
            return false;
        }
        // A client that joins a server still starting up lists the server's ports but leaves
        // every later client of the process unable to open one, and closing it later crashed
        // (seen in one restart of ten). The first client to reach a server is therefore only a
        // probe: it is closed at once, and the list opens a retry period later.
        if (!settled) {
            jack_client_close(client);
            client = nullptr;
            settled = true;
            return false;
        }
        gone.store(false);
        // Runs on a thread of the JACK library, which must not close the client itself.
        jack_on_shutdown(
            client, [](void* self) { static_cast<jack_backend*>(self)->gone.store(true); }, this);
        return true;
    }

    std::optional<std::vector<std::string>> names() override {
        if (gone.load()) {
            return std::nullopt;
        }
        // The inputs RtMidi can open: every MIDI port that sends.
        const char** ports =
            jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
        std::vector<std::string> out;
        for (const char** p = ports; p != nullptr && *p != nullptr; ++p) {
            out.emplace_back(*p);
        }
        jack_free(ports);
        if (gone.load()) {
            return std::nullopt;
        }
        return out;
    }

    void close_list() override {
        settled = false;
        if (client != nullptr) {
            jack_client_close(client);
            client = nullptr;
        }
    }

    jack_client_t* client = nullptr;
    std::atomic<bool> gone{false};
    bool settled = false;
};

}  // namespace

rtmidi_system::rtmidi_system() {
    snd_lib_error_set_handler(quiet_alsa);
    jack_set_error_function(quiet_jack);
    jack_set_info_function(quiet_jack);
    std::vector<RtMidi::Api> compiled;
    RtMidi::getCompiledApi(compiled);
    for (const RtMidi::Api api : compiled) {
        if (api == RtMidi::LINUX_ALSA) {
            backends_.push_back(std::make_unique<alsa_backend>());
        } else if (api == RtMidi::UNIX_JACK) {
            backends_.push_back(std::make_unique<jack_backend>());
        }
    }
}

rtmidi_system::~rtmidi_system() = default;

std::vector<port> rtmidi_system::ports() {
    std::lock_guard lock(mutex_);
    std::vector<port> out;
    const auto now = clock::now();
    for (const auto& b : backends_) {
        if (!b->open && now >= b->next_try) {
            b->next_try = now + retry_period;
            b->open = b->open_list();
        }
        if (!b->open) {
            continue;
        }
        auto names = b->names();
        if (!names) {
            // The system went away: its inputs are gone with it, which tells the listener to
            // close what it had open there. The list is opened again once the system is back.
            b->close_list();
            b->open = false;
            continue;
        }
        for (std::string& name : *names) {
            if (!name.empty()) {
                out.push_back(port{short_name(b->api) + ":" + name, name, short_name(b->api)});
            }
        }
    }
    return out;
}

std::unique_ptr<connection> rtmidi_system::open(const port& input,
                                                std::function<void(const message&)> deliver,
                                                std::function<void()> lost) {
    for (const auto& b : backends_) {
        if (short_name(b->api) != input.api) {
            continue;
        }
        auto opened = std::make_unique<rtmidi_connection>(std::move(deliver), std::move(lost));
        if (opened->open(b->api, input.name)) {
            return opened;
        }
        return nullptr;
    }
    return nullptr;
}

}  // namespace midi
