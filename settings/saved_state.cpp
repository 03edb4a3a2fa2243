#include "settings/saved_state.h"

#include "settings/module_link.h"
#include "settings/unsaved.h"

namespace settings {

saved_state::saved_state(usb::device& device, unsaved& marker)
    : device_(device), marker_(marker), thread_([this] { run(); }) {}

saved_state::~saved_state() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void saved_state::connected() {
    {
        std::lock_guard lock(mutex_);
        compare_ = true;
    }
    wake_.notify_all();
}

void saved_state::saved() {
    {
        std::lock_guard lock(mutex_);
        remember_ = true;
    }
    wake_.notify_all();
}

void saved_state::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || compare_ || remember_; });
        if (stopping_) {
            return;
        }
        const bool remember = remember_;
        remember_ = false;
        compare_ = false;
        lock.unlock();
        // A module that does not answer tells nothing: the marker stays as it was.
        if (const auto holds = read_module(device_)) {
            if (remember || !stored_) {
                stored_ = holds;
            } else {
                marker_.mark(*holds != *stored_, true);
            }
        }
        lock.lock();
    }
}

}  // namespace settings
