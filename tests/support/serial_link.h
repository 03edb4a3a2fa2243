#pragma once

// The module's serial line in tests, for the device-link tests and the device query fuzzer: a pty
// pair standing in for it, a bus offering its node, and a fake module answering on the master.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "usb/bus.h"

namespace usb_test {

using namespace std::chrono_literals;

// The slave stands for the module's tty node, the master for the module. The test keeps the slave
// open, so that the master never reads a hang-up between two opens of the port.
class pty_pair {
  public:
    pty_pair() {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        name_ = ::ttyname(slave_);
        termios tio{};
        ::tcgetattr(slave_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave_, TCSANOW, &tio);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~pty_pair() {
        ::close(master_);
        ::close(slave_);
    }
    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& name() const { return name_; }

  private:
    int master_ = -1, slave_ = -1;
    std::string name_;
};

// A bus whose one module sits on `tty` while `present` holds.
struct pty_bus : usb::bus {
    explicit pty_bus(std::string node) : tty(std::move(node)) {}
    std::optional<usb::found_device> find_device(std::uint16_t, std::uint16_t) override {
        return present ? std::optional(usb::found_device{tty}) : std::nullopt;
    }
    std::string serial_port_name(const usb::found_device& found) override { return found.id; }
    const std::string tty;
    std::atomic<bool> present{false};
};

// Writes all of data to a (possibly non-blocking) descriptor, for ten seconds at most: a writer
// thread must end even when a failed test no longer reads the other end.
inline void write_all(int fd, std::string_view data) {
    for (auto end = std::chrono::steady_clock::now() + 10s;
         !data.empty() && std::chrono::steady_clock::now() < end;) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        }
        pollfd pfd{fd, POLLOUT, 0};
        ::poll(&pfd, 1, 100);
    }
}

// What arrives on fd until `quiet` passes without a byte or `limit` is reached.
inline std::string drain(int fd, std::chrono::milliseconds quiet,
                         std::chrono::milliseconds limit = 10s) {
    std::string data;
    char buffer[4096];
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end;) {
        pollfd pfd{fd, POLLIN, 0};
        ssize_t n = 0;
        if (::poll(&pfd, 1, static_cast<int>(quiet.count())) <= 0 ||
            (n = ::read(fd, buffer, sizeof buffer)) <= 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

// A module on the master side of a pty: every chunk it receives goes to `answer`, which may write
// to the master (and sleep, to split its reply into bursts).
class fake_module {
  public:
    using handler = std::function<void(const std::string& received, int master)>;
    fake_module(int master, handler answer)
        : thread_([master, answer](std::stop_token stop) {
              while (!stop.stop_requested()) {
                  pollfd pfd{master, POLLIN, 0};
                  char buffer[4096];
                  const ssize_t n =
                      ::poll(&pfd, 1, 10) > 0 ? ::read(master, buffer, sizeof buffer) : 0;
                  // Until the port is opened (and after it hangs up) the master reads EIO.
                  if (n <= 0) {
                      std::this_thread::sleep_for(5ms);
                  } else if (answer) {
                      answer(std::string(buffer, static_cast<std::size_t>(n)), master);
                  }
              }
          }) {}
    void stop() { thread_ = std::jthread(); }  // asks the thread to stop and joins it

  private:
    std::jthread thread_;
};

}  // namespace usb_test
