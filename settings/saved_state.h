#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "settings/backup.h"

namespace usb {
class device;
}

namespace settings {

class unsaved;

// What the module holds stored, as far as the program has seen it: the settings read after a
// save, or at the first connect after the program started (the protocol cannot read the stored
// ones). A module that connects holding other settings holds changes it has not stored, whether
// it kept them across an unplug on its own power or another program made them: the marker says
// so. Reads run on a thread of its own, since the device's callbacks must not talk to it.
class saved_state {
  public:
    saved_state(usb::device& device, unsaved& marker);
    ~saved_state();
    saved_state(const saved_state&) = delete;
    saved_state& operator=(const saved_state&) = delete;

    // The module has (re)connected: compare what it holds with what was stored.
    void connected();
    // "/save params all" was sent: what the module holds now is what it stores.
    void saved();

  private:
    void run();

    usb::device& device_;
    unsaved& marker_;
    std::optional<json> stored_;  // touched by the thread only
    std::mutex mutex_;
    std::condition_variable wake_;
    bool compare_ = false;
    bool remember_ = false;
    bool stopping_ = false;
    std::thread thread_;  // last: everything above exists before it starts
};

}  // namespace settings
