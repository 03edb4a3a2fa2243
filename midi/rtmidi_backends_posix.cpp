// Linux's back ends: the ALSA sequencer and JACK.

#include "midi/rtmidi_backends.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <atomic>

namespace midi {

namespace {

// The libraries below RtMidi print every failed attempt to reach their system on standard error;
// an absent system is normal here, and a user has nothing to do about it.
extern "C" void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}
extern "C" void quiet_jack(const char*) {}

// The ALSA sequencer, listed through RtMidi.
struct alsa_backend : rtmidi_lister {
    alsa_backend() : rtmidi_lister(RtMidi::LINUX_ALSA) {}

    bool open_list() override {
        // Probed first: RtMidi itself would complain on standard error about an absent system.
        snd_seq_t* seq = nullptr;
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0) {
            return false;
        }
        snd_seq_close(seq);
        return rtmidi_lister::open_list();
    }
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
        client = jack_client_open(rtmidi_client_name, JackNoStartServer, &status);
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

std::vector<std::unique_ptr<rtmidi_system::backend>> system_backends() {
    snd_lib_error_set_handler(quiet_alsa);
    jack_set_error_function(quiet_jack);
    jack_set_info_function(quiet_jack);
    std::vector<std::unique_ptr<rtmidi_system::backend>> backends;
    std::vector<RtMidi::Api> compiled;
    RtMidi::getCompiledApi(compiled);
    for (const RtMidi::Api api : compiled) {
        if (api == RtMidi::LINUX_ALSA) {
            backends.push_back(std::make_unique<alsa_backend>());
        } else if (api == RtMidi::UNIX_JACK) {
            backends.push_back(std::make_unique<jack_backend>());
        }
    }
    return backends;
}

}  // namespace midi
