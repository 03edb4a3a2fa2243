// Plays the module on a pty with arbitrary reply bursts (NUL bytes, carriage returns without line
// feeds, partial lines, bursts larger than one read) to the real usb::device::query, serial port
// and pty, with the line timings shortened. Input: bursts, each a length byte and that many bytes
// (with the high bit set, (byte & 0x7f) * 64 bytes, so that bursts larger than one read occur).
// Oracle: a reply, when there is one, is one whole line of what the module sent (from a line's
// start to its line feed, nothing lost from its middle or added) and a settings reply: lines of
// other kinds are dropped, and what an earlier exchange left is never part of it.
#include <cstdlib>
#include <numeric>
#include <string_view>
#include <vector>

#include "tests/support/serial_link.h"
#include "tests/support/wait.h"
#include "usb/device.h"
#include "usb/reply.h"

namespace {

using namespace std::chrono_literals;

constexpr std::string_view command = "/get params all";
constexpr std::size_t max_bursts = 8;
// Longer than the port's burst gap below, so that each burst is read as one.
constexpr auto burst_pause = 8ms;
constexpr auto query_timeout = 40ms;

constexpr usb::device_timing fast_timing{.poll_interval = 20ms,
                                         .connect_delay = 0ms,
                                         .late_reply_limit = 60ms,
                                         .serial = {.burst_gap = 3ms,
                                                    .read_limit = 500ms,
                                                    .burst_limit = 50ms,
                                                    .write_per_byte = 1ms,
                                                    .write_constant = 50ms}};

// The module's end of the line. The test keeps its own descriptor of the tty, so that whatever the
// program did not read can be drained between exchanges.
struct line {
    line() {
        ::fcntl(pty.slave(), F_SETFL, ::fcntl(pty.slave(), F_GETFL) | O_NONBLOCK);
        bus.present = true;
        device.install_callbacks([this] { connected = true; }, [] {});
        if (!test::eventually([this] { return connected.load(); }, 5s)) {
            std::abort();
        }
    }
    // Discards what is left in both directions once no byte has moved for a while.
    void drain() {
        for (int fd : {pty.slave(), pty.master()}) {
            usb_test::drain(fd, 5ms);
        }
    }

    usb_test::pty_pair pty;
    usb_test::pty_bus bus{pty.name()};
    std::atomic<bool> connected{false};
    usb::device device{bus, 0x0483, 0x5740, fast_timing};  // goes first, with its callback
};

std::vector<std::string> split_bursts(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> bursts;
    for (std::size_t i = 0; i < size && bursts.size() < max_bursts;) {
        const std::uint8_t head = data[i++];
        const std::size_t length =
            std::min((head & 0x80) ? std::size_t(head & 0x7f) * 64 : head, size - i);
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
    const std::string sent = std::accumulate(bursts.begin(), bursts.end(), std::string());

    std::atomic<bool> stop{false};
    std::thread module([&] { play_module(module_line.pty.master(), bursts, stop); });
    const auto reply = module_line.device.query(std::string(command), query_timeout, 500us);
    stop = true;
    module.join();
    module_line.drain();

    if (!reply) {
        return 0;
    }
    if (reply->empty() || reply->find('\n') != reply->size() - 1 ||
        !usb::reply_fits(usb::reply_kind::settings, *reply)) {
        std::abort();
    }
    bool whole_line = false;
    for (auto at = sent.find(*reply); at != std::string::npos && !whole_line;
         at = sent.find(*reply, at + 1)) {
        whole_line = at == 0 || sent[at - 1] == '\n';
    }
    if (!whole_line) {
        std::abort();
    }
    return 0;
}
