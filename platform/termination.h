#pragma once

namespace platform {

// For running without a window: blocks the calling thread until SIGINT or SIGTERM arrives or
// request_termination() is called, then puts the previous signal handlers back. Other threads
// may already run: the signals are caught with handlers, not with a mask, so whichever thread
// the kernel picks for delivery wakes this one.
void wait_for_termination();

// Ends the current wait_for_termination(), or the next one if none is waiting, as a signal
// would. Safe from any thread and from a signal handler.
void request_termination();

}  // namespace platform
