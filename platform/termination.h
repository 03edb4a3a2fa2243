#pragma once

#include <memory>

namespace platform {

// Catches the system's requests to end the program for as long as it lives, so that they end it
// through its orderly shutdown at whatever moment they arrive, even during start-up. On Linux
// these are SIGINT and SIGTERM. On Windows they are the console's events (Ctrl+C, Ctrl+Break,
// the console closing, logoff and shutdown) and, through a hidden top-level window, the session's
// end and the close message that `taskkill` sends. Build it before anything that takes time;
// destroying it gives the previous handling back. One instance at a time per process.
class termination_signals {
  public:
    termination_signals();
    ~termination_signals();
    termination_signals(const termination_signals&) = delete;
    termination_signals& operator=(const termination_signals&) = delete;

    // Blocks until a request of the system or a request() has arrived since construction or since
    // the last wait() returned; nothing that arrived earlier is lost. True when the system's
    // request ended the wait, false when only a request() did.
    bool wait();

    // Ends the current wait(), or the next one, without a request of the system. Safe from any
    // thread.
    void request();

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace platform
