#include "platform/termination.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {

// A signal handler can reach nothing but globals: this is the write end of the live instance's
// pipe, or -1.
std::atomic<int> wake_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

constexpr char by_signal = 's';
constexpr char by_request = 'r';

void write_byte(int fd, char byte) {
    // Only async-signal-safe calls. The pipe is non-blocking, so a burst of signals cannot block
    // the handler on a full pipe; a full pipe already holds a wake-up.
    int saved = errno;
    [[maybe_unused]] ssize_t written = write(fd, &byte, 1);
    errno = saved;
}

void on_signal(int) {
    int fd = wake_fd.load();
    if (fd >= 0) {
        write_byte(fd, by_signal);
    }
}

}  // namespace

// The two ends of a pipe that the handler writes one byte into, and the handlers to restore.
struct termination_signals::impl {
    int read_end = -1;
    int write_end = -1;
    struct sigaction old_interrupt {};
    struct sigaction old_terminate {};
};

termination_signals::termination_signals() : impl_(std::make_unique<impl>()) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        // Without the pipe nothing could ever wake the waiter, and the program could only be
        // killed. This happens only when the process is out of file descriptors at start-up.
        std::perror("Cannot prepare for SIGINT and SIGTERM");
        std::abort();
    }
    impl_->read_end = fds[0];
    impl_->write_end = fds[1];
    int expected = -1;
    if (!wake_fd.compare_exchange_strong(expected, impl_->write_end)) {
        std::fputs("Only one termination_signals may exist at a time.\n", stderr);
        std::abort();
    }

    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &impl_->old_interrupt);
    sigaction(SIGTERM, &action, &impl_->old_terminate);
}

termination_signals::~termination_signals() {
    sigaction(SIGINT, &impl_->old_interrupt, nullptr);
    sigaction(SIGTERM, &impl_->old_terminate, nullptr);
    wake_fd.store(-1);
    close(impl_->read_end);
    close(impl_->write_end);
}

bool termination_signals::wait() {
    for (;;) {
        pollfd entry{impl_->read_end, POLLIN, 0};
        if (poll(&entry, 1, -1) < 0 && errno != EINTR) {
            return false;  // cannot happen with a valid descriptor; ending the wait is the safe
                           // failure
        }
        bool woken = false;
        bool signalled = false;
        char buffer[64];
        ssize_t n;
        while ((n = read(impl_->read_end, buffer, sizeof buffer)) > 0) {
            woken = true;
            for (ssize_t i = 0; i < n; ++i) {
                signalled = signalled || buffer[i] == by_signal;
            }
        }
        if (woken) {
            return signalled;
        }
    }
}

void termination_signals::request() {
    write_byte(impl_->write_end, by_request);
}

}  // namespace platform
