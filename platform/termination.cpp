#include "platform/termination.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace platform {

namespace {

// A signal handler can reach nothing but globals. These two are the whole shared state: the write
// end of the current waiter's pipe, and a request that arrived while nobody was waiting.
std::atomic<int> wake_fd{-1};
std::atomic<bool> pending{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "used from a signal handler");

void wake() {
    // Only async-signal-safe calls: an atomic store and load, and write(2). The pipe is
    // non-blocking, so a burst of signals cannot block the handler on a full pipe.
    pending.store(true);
    int fd = wake_fd.load();
    if (fd >= 0) {
        int saved = errno;
        char byte = 1;
        [[maybe_unused]] ssize_t written = write(fd, &byte, 1);
        errno = saved;
    }
}

void on_signal(int) {
    wake();
}

}  // namespace

void wait_for_termination() {
    // One waiter at a time: the pipe belongs to it.
    static std::mutex one_waiter;
    std::lock_guard lock(one_waiter);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;  // without a pipe nothing could wake us; ending the wait is the safe failure
    }
    wake_fd.store(fds[1]);

    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    struct sigaction old_interrupt {};
    struct sigaction old_terminate {};
    sigaction(SIGINT, &action, &old_interrupt);
    sigaction(SIGTERM, &action, &old_terminate);

    // The pipe is published before the flag is read, so a request either finds the pipe or
    // leaves the flag for us to see here.
    while (!pending.load()) {
        pollfd entry{fds[0], POLLIN, 0};
        if (poll(&entry, 1, -1) < 0 && errno != EINTR) {
            break;
        }
        char buffer[16];
        while (read(fds[0], buffer, sizeof buffer) > 0) {
        }
    }

    sigaction(SIGINT, &old_interrupt, nullptr);
    sigaction(SIGTERM, &old_terminate, nullptr);
    wake_fd.store(-1);
    pending.store(false);
    close(fds[0]);
    close(fds[1]);
}

void request_termination() {
    wake();
}

}  // namespace platform
