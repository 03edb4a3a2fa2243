#include "settings/unsaved.h"

namespace settings {

void unsaved::mark(bool value) {
    // Published under the lock, so that the events arrive in the order the flag changed.
    std::lock_guard lock(mutex_);
    if (value_ == value) {
        return;
    }
    value_ = value;
    publish_(std::string(R"({"event" : "unsaved", "value": )") + (value ? "true" : "false") + "}");
    if (changed_) {
        changed_(value);
    }
}

void unsaved::observe(std::function<void(bool)> changed) {
    std::lock_guard lock(mutex_);
    changed_ = std::move(changed);
    if (changed_) {
        changed_(value_);
    }
}

bool unsaved::value() const {
    std::lock_guard lock(mutex_);
    return value_;
}

}  // namespace settings
