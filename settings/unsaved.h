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

  private:
    std::function<void(std::string)> publish_;
    mutable std::mutex mutex_;
    bool value_ = false;
};

}  // namespace settings
