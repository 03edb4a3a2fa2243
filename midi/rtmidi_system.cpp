#include "midi/rtmidi_system.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>

#include <chrono>

namespace midi {

namespace {

constexpr const char* client_name = "Korvaline";
constexpr std::chrono::seconds retry_period{2};

// The libraries below RtMidi print every failed attempt to reach their system on standard error;
// an absent system is normal here, and a user has nothing to do about it.
extern "C" void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}
extern "C" void quiet_jack(const char*) {}

void quiet_rtmidi(RtMidiError::Type, const std::string&, void*) {}

bool alsa_present() {
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0) {
        return false;
    }
    snd_seq_close(seq);
    return true;
}

bool jack_present() {
    jack_status_t status{};
    jack_client_t* client = jack_client_open("korvaline-probe", JackNoStartServer, &status);
    if (client == nullptr) {
        return false;
    }
    jack_client_close(client);
    return true;
}

std::string short_name(RtMidi::Api api) {
    return RtMidi::getApiName(api);  // "alsa", "jack"
}

class rtmidi_connection : public connection {
  public:
    rtmidi_connection(std::function<void(const message&)> deliver, std::function<void()> lost)
        : deliver_(std::move(deliver)), lost_(std::move(lost)) {}

    ~rtmidi_connection() override {
        if (in_) {
            in_->cancelCallback();
            in_->closePort();
        }
    }

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

struct rtmidi_system::backend {
    RtMidi::Api api;
    bool (*present)();
    std::unique_ptr<RtMidiIn> lister;
    clock::time_point next_try{};
};

rtmidi_system::rtmidi_system() {
    snd_lib_error_set_handler(quiet_alsa);
    jack_set_error_function(quiet_jack);
    jack_set_info_function(quiet_jack);
    std::vector<RtMidi::Api> compiled;
    RtMidi::getCompiledApi(compiled);
    for (const RtMidi::Api api : compiled) {
        if (api == RtMidi::LINUX_ALSA) {
            backends_.push_back(std::make_unique<backend>(backend{api, alsa_present, {}}));
        } else if (api == RtMidi::UNIX_JACK) {
            backends_.push_back(std::make_unique<backend>(backend{api, jack_present, {}}));
        }
    }
}

rtmidi_system::~rtmidi_system() = default;

std::vector<port> rtmidi_system::ports() {
    std::lock_guard lock(mutex_);
    std::vector<port> out;
    const auto now = clock::now();
    for (const auto& b : backends_) {
        if (!b->lister && now >= b->next_try) {
            b->next_try = now + retry_period;
            // Probed first: RtMidi itself would complain on standard error about an absent system.
            if (b->present()) {
                try {
                    b->lister = std::make_unique<RtMidiIn>(b->api, client_name);
                    b->lister->setErrorCallback(quiet_rtmidi);
                } catch (const RtMidiError&) {
                    b->lister.reset();
                }
            }
        }
        if (!b->lister) {
            continue;
        }
        try {
            const unsigned count = b->lister->getPortCount();
            for (unsigned i = 0; i < count; ++i) {
                std::string name = b->lister->getPortName(i);
                if (!name.empty()) {
                    out.push_back(port{short_name(b->api) + ":" + name, name, short_name(b->api)});
                }
            }
        } catch (const RtMidiError&) {
            b->lister.reset();
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
