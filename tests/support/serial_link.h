#pragma once

// The module's serial line in tests: a pty pair standing in for it, a fake module answering on
// the pty master, a fake bus and a recorder of callbacks. The device-link tests and the device
// query fuzzer share them.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "usb/bus.h"

namespace usb_test {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// A pty: the slave stands for the module's tty node, the master for the module itself. The test
// keeps the slave open so that the master never reads a hang-up between two opens of the port.
class pty_pair {
  public:
    explicit pty_pair(bool raw = true) {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        name_ = ::ttyname(slave_);
        if (raw) {
            termios tio{};
            ::tcgetattr(slave_, &tio);
            ::cfmakeraw(&tio);
            ::tcsetattr(slave_, TCSANOW, &tio);
        }
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~pty_pair() {
        close_master();
        ::close(slave_);
    }
    pty_pair(const pty_pair&) = delete;
    pty_pair& operator=(const pty_pair&) = delete;

    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& name() const { return name_; }
    void close_master() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string name_;
};

inline std::chrono::milliseconds since(steady::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start);
}

// Writes all of data to a (possibly non-blocking) descriptor.
inline void write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd pfd{fd, POLLOUT, 0};
            ::poll(&pfd, 1, 100);
        } else {
            return;
        }
    }
}

// Reads what arrives on fd until `quiet` passes without a byte or `limit` is reached.
inline std::string drain(int fd, std::chrono::milliseconds quiet, std::chrono::milliseconds limit) {
    std::string data;
    auto end = steady::now() + limit;
    while (steady::now() < end) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(quiet.count())) <= 0 || !(pfd.revents & POLLIN)) {
            break;
        }
        char buffer[4096];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

// A module on the master side of a pty: every chunk of bytes it receives is handed to `answer`,
// which may write to the master (and sleep, to split its reply into bursts).
class fake_module {
  public:
    using handler = std::function<void(const std::string& received, int master)>;

    fake_module(int master, handler answer) : master_(master), answer_(std::move(answer)) {
        thread_ = std::thread([this] { run(); });
    }
    ~fake_module() { stop(); }
    void stop() {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    std::string received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

  private:
    void run() {
        while (running_) {
            pollfd pfd{master_, POLLIN, 0};
            if (::poll(&pfd, 1, 10) <= 0 || !(pfd.revents & POLLIN)) {
                if (pfd.revents & (POLLHUP | POLLERR)) {
                    std::this_thread::sleep_for(10ms);
                }
                continue;
            }
            char buffer[4096];
            ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0) {
                // Until the port is opened (and after it hangs up) the master reads EIO.
                std::this_thread::sleep_for(5ms);
                continue;
            }
            std::string chunk(buffer, static_cast<std::size_t>(n));
            {
                std::lock_guard lock(mutex_);
                received_ += chunk;
            }
            if (answer_) {
                answer_(chunk, master_);
            }
        }
    }

    int master_;
    handler answer_;
    std::atomic<bool> running_{true};
    std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

// A bus with at most one module, whose presence and failures the test switches.
class fake_bus : public usb::bus {
  public:
    explicit fake_bus(std::string tty) : tty_(std::move(tty)) {}

    std::optional<usb::found_device> find_device(std::uint16_t vendor,
                                                 std::uint16_t product) override {
        std::lock_guard lock(mutex_);
        ++searches_;
        searched_.notify_all();
        if (search_error_) {
            throw usb::bus_error(*search_error_);
        }
        if (!present_ || vendor != 0x0483 || product != 0x5740) {
            return std::nullopt;
        }
        return usb::found_device{"/sys/devices/fake/1-2"};
    }
    std::string serial_port_name(const usb::found_device&) override {
        std::lock_guard lock(mutex_);
        if (name_error_) {
            throw usb::bus_error(*name_error_);
        }
        return tty_;
    }

    void set_present(bool present) {
        std::lock_guard lock(mutex_);
        present_ = present;
    }
    void set_search_error(std::optional<std::string> error) {
        std::lock_guard lock(mutex_);
        search_error_ = std::move(error);
    }
    void set_name_error(std::optional<std::string> error) {
        std::lock_guard lock(mutex_);
        name_error_ = std::move(error);
    }
    // Waits until at least `total` searches have been made in all; false on time-out.
    bool wait_total_searches(int total, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        return searched_.wait_for(lock, limit, [&] { return searches_ >= total; });
    }
    // Waits until `count` more searches have been made than when called; false on time-out.
    bool wait_searches(int count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        int target = searches_ + count;
        return searched_.wait_for(lock, limit, [&] { return searches_ >= target; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable searched_;
    int searches_ = 0;
    bool present_ = false;
    std::optional<std::string> search_error_;
    std::optional<std::string> name_error_;
    std::string tty_;
};

// Records the callbacks in order; its callbacks are what a test installs.
class recorder {
  public:
    std::function<void()> on(const char* name) {
        return [this, name] {
            std::lock_guard lock(mutex_);
            events_.push_back(name);
            changed_.notify_all();
        };
    }
    std::vector<std::string> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    bool wait_count(std::size_t count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return events_.size() >= count; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

}  // namespace usb_test
