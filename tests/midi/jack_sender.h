#pragma once

// Another program's MIDI output on JACK: a client with one output port that plays the messages it
// is given at its next cycle. Destroying it closes the client, which waits for a running cycle,
// before its queue is freed. RtMidi's own output frees its queue first, so a cycle still running
// read freed memory: that crashed about one test run in a few hundred, just as the sender went.

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <string>
#include <vector>

namespace test {

class jack_sender {
  public:
    // Joins the server named by JACK_DEFAULT_SERVER as "client:port".
    jack_sender(const std::string& client, const std::string& port)
        : queue_(jack_ringbuffer_create(4096)) {
        client_ = jack_client_open(client.c_str(), JackNoStartServer, nullptr);
        if (client_ == nullptr) {
            return;
        }
        port_ = jack_port_register(client_, port.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                   JackPortIsOutput, 0);
        jack_set_process_callback(client_, &jack_sender::process, this);
        if (port_ == nullptr || jack_activate(client_) != 0) {
            jack_client_close(client_);
            client_ = nullptr;
        }
    }
    ~jack_sender() {
        if (client_ != nullptr) {
            jack_client_close(client_);
        }
        jack_ringbuffer_free(queue_);
    }
    jack_sender(const jack_sender&) = delete;
    jack_sender& operator=(const jack_sender&) = delete;

    bool ready() const { return client_ != nullptr; }

    // Queued for the next cycle, each message with its size in front; false when the queue is full.
    bool send(const std::vector<unsigned char>& message) {
        const auto size = static_cast<unsigned char>(message.size());
        if (jack_ringbuffer_write_space(queue_) < 1u + size) {
            return false;
        }
        jack_ringbuffer_write(queue_, reinterpret_cast<const char*>(&size), 1);
        jack_ringbuffer_write(queue_, reinterpret_cast<const char*>(message.data()), size);
        return true;
    }

  private:
    // On JACK's thread. A message is taken only once all of it is queued.
    static int process(jack_nframes_t frames, void* self) {
        auto* me = static_cast<jack_sender*>(self);
        void* out = jack_port_get_buffer(me->port_, frames);
        jack_midi_clear_buffer(out);
        unsigned char size = 0;
        while (jack_ringbuffer_peek(me->queue_, reinterpret_cast<char*>(&size), 1) == 1 &&
               jack_ringbuffer_read_space(me->queue_) >= 1u + size) {
            jack_ringbuffer_read_advance(me->queue_, 1);
            if (jack_midi_data_t* data = jack_midi_event_reserve(out, 0, size)) {
                jack_ringbuffer_read(me->queue_, reinterpret_cast<char*>(data), size);
            } else {
                jack_ringbuffer_read_advance(me->queue_, size);
            }
        }
        return 0;
    }

    jack_ringbuffer_t* queue_;
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
};

}  // namespace test
