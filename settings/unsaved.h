#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace settings {

// Whether the module holds changes it has not stored. Every change of the flag is published as
// {"event" : "unsaved", "value": true} (or false); setting it to what it is publishes nothing.
class unsaved {
  public:
    explicit unsaved(std::function<void(std::string)> publish) : publish_(std::move(publish)) {}

    void mark(bool value);
    bool value() const;

    // Calls changed(value) now and at every change of the flag, until it is replaced; an empty
    // function ends the calls. Once this returns, the previous function is not running any more.
    void observe(std::function<void(bool)> changed);

  private:
    std::function<void(std::string)> publish_;
    std::function<void(bool)> changed_;
    mutable std::mutex mutex_;
    bool value_ = false;
};

}  // namespace settings
