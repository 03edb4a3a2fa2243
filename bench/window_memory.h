#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "bench/process.h"

namespace bench {

// The proportional set size of a process and every descendant, in MiB: for the window, the program
// and the web engine's processes it starts. Shared pages count in proportion to their sharers.
double tree_pss_mb(pid_t root);

// An X server of the bench's own (Xvfb, 1280x720x24) on a free display; display() is its name
// (":N"), empty when it could not start.
class virtual_display {
  public:
    virtual_display();
    const std::string& display() const { return display_; }

  private:
    std::unique_ptr<process> server_;
    std::string display_;
};

}  // namespace bench
