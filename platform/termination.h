#pragma once

#include <signal.h>

namespace platform {

// Catches SIGINT and SIGTERM for as long as it lives, so that a Ctrl+C or a session's termination
// ends the program through its orderly shutdown at whatever moment it arrives, even during
// start-up. Build it before anything that takes time; destroying it puts the previous handlers
// back. The signals are caught with handlers, not with a mask, so whichever thread the kernel
// picks for delivery wakes the waiter. One instance at a time per process.
class termination_signals {
  public:
    termination_signals();
    ~termination_signals();
    termination_signals(const termination_signals&) = delete;
    termination_signals& operator=(const termination_signals&) = delete;

    // Blocks until a signal or a request() has arrived since construction or since the last
    // wait() returned; nothing that arrived earlier is lost. True when a signal ended the wait,
    // false when only a request() did.
    bool wait();

    // Ends the current wait(), or the next one, without a signal. Safe from any thread.
    void request();

  private:
    int read_end_ = -1;
    int write_end_ = -1;
    struct sigaction old_interrupt_ {};
    struct sigaction old_terminate_ {};
};

}  // namespace platform
