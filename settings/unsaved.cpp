#include "settings/unsaved.h"

namespace settings {

void unsaved::mark(bool value, bool found_at_connect) {
    // Published under the lock, so that the events arrive in the order the flag changed.
    std::lock_guard lock(mutex_);
    const bool held = value && (held_ || found_at_connect);
    if (value_ == value && held_ == held) {
        return;
    }
    const bool flag_changed = value_ != value;
    value_ = value;
    held_ = held;
    publish_(std::string(R"({"event" : "unsaved", "value": )") + (value ? "true" : "false") +
             R"(, "held": )" + (held ? "true" : "false") + "}");
    if (changed_ && flag_changed) {
        changed_(value);
    }
}

bool unsaved::held() const {
    std::lock_guard lock(mutex_);
    return held_;
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
