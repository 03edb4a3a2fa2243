#include "midi/rtmidi_system.h"

#include <chrono>

#include "midi/rtmidi_backends.h"

namespace midi {

namespace {

constexpr std::chrono::seconds retry_period{1};

// RtMidi prints its warnings on standard error; an absent system is normal here, and a user has
// nothing to do about it.
void quiet_rtmidi(RtMidiError::Type, const std::string&, void*) {}

std::string short_name(RtMidi::Api api) {
    return RtMidi::getApiName(api);  // "alsa", "jack", "winmm"
}

class rtmidi_connection : public connection {
  public:
    rtmidi_connection(std::function<void(const message&)> deliver, std::function<void()> lost)
        : deliver_(std::move(deliver)), lost_(std::move(lost)) {}

    // The callback is not cancelled first: RtMidi clears its function before its flag, so a note
    // arriving meanwhile would call through a null pointer. RtMidiIn's destructor stops its
    // thread (JACK's client, ALSA's reader or Windows' input) before it returns, and `in_`, the
    // last member, goes before what the callback uses.
    ~rtmidi_connection() override = default;

    bool open(RtMidi::Api api, const std::string& name) {
        try {
            in_ = std::make_unique<RtMidiIn>(api, rtmidi_client_name);
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

bool rtmidi_lister::open_list() {
    try {
        lister_ = std::make_unique<RtMidiIn>(api, rtmidi_client_name);
        lister_->setErrorCallback(quiet_rtmidi);
        return true;
    } catch (const RtMidiError&) {
        return false;
    }
}

std::optional<std::vector<std::string>> rtmidi_lister::names() {
    std::vector<std::string> out;
    try {
        const unsigned count = lister_->getPortCount();
        for (unsigned i = 0; i < count; ++i) {
            out.push_back(lister_->getPortName(i));
        }
    } catch (const RtMidiError&) {
        return std::nullopt;
    }
    return out;
}

void rtmidi_lister::close_list() {
    lister_.reset();
}

rtmidi_system::rtmidi_system() : backends_(system_backends()) {}

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
