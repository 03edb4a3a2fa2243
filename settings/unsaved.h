#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace settings {

// Whether the module holds changes it has not stored, and whether it already held them when it
// connected (then the pages say so in words, not by the marker alone). Every change is published
// as {"event" : "unsaved", "value": true, "held": false}; setting what is set publishes nothing.
class unsaved {
  public:
    explicit unsaved(std::function<void(std::string)> publish) : publish_(std::move(publish)) {}

    // found_at_connect: the module was found holding them as it connected. Once held, changes
    // stay held until they are stored (value false).
    void mark(bool value, bool found_at_connect = false);
    bool value() const;
    bool held() const;

    // Calls changed(value) now and at every change of the flag, until it is replaced; an empty
    // function ends the calls. Once this returns, the previous function is not running any more.
    void observe(std::function<void(bool)> changed);

  private:
    std::function<void(std::string)> publish_;
    std::function<void(bool)> changed_;
    mutable std::mutex mutex_;
    bool value_ = false;
    bool held_ = false;
};

}  // namespace settings
