// Plays the module on a pty with arbitrary reply bursts (NUL bytes, carriage returns without line
// feeds, partial lines, bursts larger than one read) and checks what usb::device::query makes of
// them. The accumulation lives inside the query, so the real device, the real serial port and a
// real pty are driven, with the line timings shortened.
//
// Input: a sequence of bursts, each a length byte and that many bytes (a length byte with its high
// bit set means (byte & 0x7f) * 64 bytes, so that bursts larger than one 4095-byte read occur).
//
// Oracle: a reply, when there is one, is never empty, ends with a line feed and is exactly the
// beginning of what the module sent: nothing is lost from its middle, nothing is added, nothing of
// an earlier exchange leaks into it.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/serial_link.h"
#include "usb/device.h"

namespace {

using namespace std::chrono_literals;

constexpr std::string_view command = "/get params all";
constexpr std::size_t max_bursts = 8;
// Longer than the port's burst gap below, so that each burst is read as one.
constexpr auto burst_pause = 8ms;
constexpr auto query_timeout = 40ms;

usb::device_timing fast_timing() {
    usb::device_timing t;
    t.poll_interval = 20ms;
    t.connect_delay = 0ms;
    t.serial.burst_gap = 3ms;
    t.serial.read_limit = 500ms;
    t.serial.burst_limit = 50ms;
    t.serial.write_per_byte = 1ms;
    t.serial.write_constant = 50ms;
    return t;
}

// A bus whose one module is always there, on the pty.
struct fake_bus final : usb::bus {
    explicit fake_bus(std::string name) : tty(std::move(name)) {}
    std::string tty;
    std::optional<usb::found_device> find_device(std::uint16_t, std::uint16_t) override {
        return usb::found_device{"/sys/devices/fake/1-2"};
    }
    std::string serial_port_name(const usb::found_device&) override { return tty; }
};

// The module's end of the line. The test keeps its own descriptor of the tty, so that whatever the
// program did not read can be drained between exchanges.
struct line {
    line() {
        ::fcntl(pty.slave(), F_SETFL, ::fcntl(pty.slave(), F_GETFL) | O_NONBLOCK);
        device = std::make_unique<usb::device>(bus, 0x0483, 0x5740, fast_timing());
        device->install_callbacks([this] { connected = true; }, [] {});
        for (int i = 0; i < 500 && !connected; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        if (!connected) {
            std::abort();
        }
    }
    ~line() { device.reset(); }

    // Discards what is left in both directions once no byte has moved for a while.
    void drain() {
        char buf[4096];
        for (int fd : {pty.slave(), pty.master()}) {
            pollfd p{fd, POLLIN, 0};
            while (::poll(&p, 1, 5) > 0 && ::read(fd, buf, sizeof buf) > 0) {
            }
        }
    }

    usb_test::pty_pair pty;
    fake_bus bus{pty.name()};
    std::unique_ptr<usb::device> device;
    std::atomic<bool> connected{false};
};

std::vector<std::string> split_bursts(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> bursts;
    std::size_t i = 0;
    while (i < size && bursts.size() < max_bursts) {
        const std::uint8_t head = data[i++];
        std::size_t length = (head & 0x80) ? std::size_t(head & 0x7f) * 64 : head;
        length = std::min(length, size - i);
        bursts.emplace_back(reinterpret_cast<const char*>(data + i), length);
        i += length;
    }
    return bursts;
}

// Waits for the command, then sends the bursts with pauses between them, until told to stop.
void play_module(int master, const std::vector<std::string>& bursts,
                 const std::atomic<bool>& stop) {
    std::string received;
    const auto give_up = std::chrono::steady_clock::now() + 2s;
    while (received.size() < command.size() && !stop &&
           std::chrono::steady_clock::now() < give_up) {
        pollfd p{master, POLLIN, 0};
        char buf[256];
        if (::poll(&p, 1, 5) > 0) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) {
                received.append(buf, std::size_t(n));
            }
        }
    }
    // Not write_all: once the query has given up nobody reads, and a full line must not block.
    for (const std::string& burst : bursts) {
        std::size_t sent = 0;
        while (sent < burst.size() && !stop) {
            const ssize_t n = ::write(master, burst.data() + sent, burst.size() - sent);
            if (n > 0) {
                sent += std::size_t(n);
            } else {
                pollfd p{master, POLLOUT, 0};
                ::poll(&p, 1, 5);
            }
        }
        std::this_thread::sleep_for(burst_pause);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static line module_line;
    const std::vector<std::string> bursts = split_bursts(data, size);
    std::string sent;
    for (const auto& burst : bursts) {
        sent += burst;
    }

    std::atomic<bool> stop{false};
    std::thread module([&] { play_module(module_line.pty.master(), bursts, stop); });
    const auto reply = module_line.device->query(std::string(command), query_timeout, 500us);
    stop = true;
    module.join();
    module_line.drain();

    if (reply) {
        if (reply->empty() || reply->back() != '\n' || reply->size() > sent.size() ||
            sent.compare(0, reply->size(), *reply) != 0) {
            std::abort();
        }
    }
    return 0;
}
